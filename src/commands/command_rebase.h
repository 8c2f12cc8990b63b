// The "rebase" command: makes a child image read through another parent,
// or through its parent moved or renamed, without changing what it shows.
#ifndef SKARVEL_COMMANDS_COMMAND_REBASE_H_
#define SKARVEL_COMMANDS_COMMAND_REBASE_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandRebase : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  // argv[1] is the child, argv[2] the new parent. Without -l, every grain
  // the child does not hold and where the old chain and the new parent read
  // differently is first written into the child (with the old chain's
  // bytes); then the child's descriptor records the new parent's CID and a
  // hint to it as clone records one. With -l (options->linkOnly) only the
  // hint is rewritten, and only when the new parent's CID is the one the
  // child records. Throws FatalError with
  //   "Parent chain loops back to " + child path  when the child is a file
  //       of the new parent's chain;
  //   "Parent CID does not match " + parent path  with -l, for another CID;
  //   "Damaged image file " + child path          when the child's own files
  //       hold a problem check would report (see refuseDamagedImage);
  //   "Unsupported image file " + child path      for a child that cannot
  //       record a parent (no descriptor) or, without -l, whose grains cannot
  //       be added in place (compressed, or extents that are not sparse);
  // and the failures of opening the child, the new parent, and without -l
  // the old chain. Nothing is changed when a run is refused. Only grains
  // that the old chain or the new parent holds are read and compared. Each
  // grain's redundant entry is written before its primary one, so a run
  // that stops leaves a child that reads as before and a rerun finishes.
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_REBASE_H_
