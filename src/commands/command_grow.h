// The "grow" command: raises the capacity of an image in place.
#ifndef SKARVEL_COMMANDS_COMMAND_GROW_H_
#define SKARVEL_COMMANDS_COMMAND_GROW_H_

#include "commands/command_processor.h"

namespace skarvel {

class CommandGrow : public CommandProcessor {
 public:
  using CommandProcessor::CommandProcessor;
  // Grows argv[1] to options->sizeBytes: a sparse extent file (versions 1
  // and 2) gets tables for the new grains, and larger directories at the
  // end of the file when its own have no room; a split sparse image gets
  // new extents and extent lines after its last, which keeps its size; a
  // split flat image grows its last extent up to 2047 MiB, then gets new
  // ones; the one extent of a monolithicFlat disk grows to any size.
  // The new part reads as zeros, also in a child whose parents are larger
  // (zero grains are written where they would show through). New metadata
  // is written and synced first; what makes the new size visible comes last
  // in one write or one replacement: the header with the embedded
  // descriptor, or the descriptor file. A failure at any point leaves an
  // image of the old size or of the new one in every reader, and a rerun
  // finishes: it replaces extent files that no line names, and takes a flat
  // file that holds only zeros past its line as its line. Throws
  // FatalError with
  //   "Size is not larger than the disk " + path   for a size at or below
  //       today's capacity;
  //   "Size is larger than any disk " + path       past 2^40 sectors;
  //   "Disk is too large for a single file " + path when a single file would
  //       reach sector 2^32;
  //   "Cannot grow stream-optimized image " + path  for a compressed image;
  //   "Damaged image file " + path                  when its own files hold
  //       a problem check would report (see refuseDamagedImage); entries
  //       past today's capacity are cleared instead, in both copies;
  //   "Unsupported image file " + path              for kinds it cannot grow
  //       (ZERO extents, mixtures, capacities that are not whole grains, a
  //       flat file that holds data past its last extent);
  //   "Failed to create file " + path               for a new extent whose
  //       name is a file of the image or its parents, or cannot be written;
  //   "File is in use " + path                      for one that another
  //       program's lock forbids;
  //   "Parent chain loops back to " + parent path  for a chain of parents
  //       that reaches the image again;
  // and the failures of opening and writing the files.
  int32_t execute(int32_t argc, char** argv) override;
};

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_COMMAND_GROW_H_
