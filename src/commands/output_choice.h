// What create, copy and clone share: the descriptor of a new image, the
// choice of output kind, and the guards that keep an output from overwriting
// a file being read or recording a name its descriptor cannot hold.
#ifndef SKARVEL_COMMANDS_OUTPUT_CHOICE_H_
#define SKARVEL_COMMANDS_OUTPUT_CHOICE_H_

#include <memory>
#include <string>
#include <vector>

#include "commands/command_options.h"
#include "reader/vmdk_reader.h"
#include "writer/output_image.h"

namespace skarvel {

// The descriptor of a brand-new image without a parent: a fresh CID and the
// hardware version and adapter type of |options|.
DiskDescriptor freshDescriptor(const CommandOptions& options);

// Throws FatalError("Unsupported image file " + path) for an input of no
// sectors: no tool opens an image of capacity 0, and a split output of it
// would have no extent line.
void refuseEmptyInput(const VMDKReader& input);

// A split output when the input is split and -m is not given, or when -p is
// given (-p wins over -m). No size threshold applies.
bool wantsSplitOutput(const VMDKReader& input, const CommandOptions& options);

// The kind -t names; without -t, a split sparse output when
// wantsSplitOutput, a single sparse file otherwise.
OutputKind chooseOutputKind(const VMDKReader& input, const CommandOptions& options);

// The input's layout, but with the 20-sector descriptor area when a single
// file is to be written from an input that has none (a bare extent of a
// split image, a header that announces no descriptor): a single-file image
// carries its descriptor, and its parent, embedded; without one no tool
// could open the output. With |capacity| (copy -s), that many sectors
// instead of the input's.
SparseLayout outputLayout(const VMDKReader& input, bool split, uint64_t capacity = 0);

// The capacity copy -s asks for: |options|' size in sectors, or the input's
// when none is given. Throws FatalError("Size is not larger than the disk "
// + input path) for a size at or below the input's capacity.
uint64_t requestedCapacity(const VMDKReader& input, const CommandOptions& options);

// Throws FatalError("Unsupported file name " + path) when a name that the
// output's descriptor text records between quotes would not read back (see
// quotesCleanly): the output's file name, from which split extent names are
// made (path: |output|.path), or its parent hint (path: |parentPath|, the
// image the hint leads to). Runs before any other check on the output;
// nothing is created.
void refuseUnquotableNames(const OutputImage& output, const std::string& parentPath);

// Throws FatalError("Output would overwrite input file " + output path) when
// any file that creating |output| would write already exists as one of the
// files |input| or |parents| hold open (compared by file identity). Nothing
// is created.
void refuseOverwritingInput(const OutputImage& output, OutputKind kind, const VMDKReader& input,
                            const std::vector<std::unique_ptr<VMDKReader>>& parents = {});

// The sparse kind of a clone or create: split or a single file.
OutputKind sparseKind(bool split);

// Throws FatalError("File is in use " + path) when another program holds a
// lock on any existing file that creating |output| as |kind| would write;
// run before creating, so that nothing is created or changed then. The
// writers lock every file they write for as long as it is open.
void refuseOutputsInUse(const OutputImage& output, OutputKind kind);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_OUTPUT_CHOICE_H_
