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

// A split output when the input is split and -m is not given, or when -p is
// given (-p wins over -m). No size threshold applies.
bool wantsSplitOutput(const VMDKReader& input, const CommandOptions& options);

// The input's layout, but with the 20-sector descriptor area when a single
// file is to be written from an input that has none (a bare extent of a
// split image, a header that announces no descriptor): a single-file image
// carries its descriptor, and its parent, embedded; without one no tool
// could open the output.
SparseLayout outputLayout(const VMDKReader& input, bool split);

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
void refuseOverwritingInput(const OutputImage& output, bool split, const VMDKReader& input,
                            const std::vector<std::unique_ptr<VMDKReader>>& parents = {});

// Creates |output| as chosen and returns its writer; every file it writes is
// locked for writing while open. Throws FatalError("File is in use " + path)
// when another program holds a lock on any existing file it would write;
// nothing is created or changed then.
std::unique_ptr<VMDKWriter> createOutput(OutputImage& output, bool split, bool includeDdb);

}  // namespace skarvel

#endif  // SKARVEL_COMMANDS_OUTPUT_CHOICE_H_
