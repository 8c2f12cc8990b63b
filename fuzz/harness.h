// What one fuzzing input does, shared by the libFuzzer targets and by the
// test that replays inputs that once failed.
//
// Both functions run the program's own code in-process, print nothing, and
// return normally for every input: a refusal (FatalError) is an answer, not
// a failure. A crash, a leak, a hang or a runaway allocation is what the
// fuzzer reports, and so is an abort when a command that writes an image in
// place breaks what it must keep (invariants.h).
#ifndef SKARVEL_FUZZ_HARNESS_H_
#define SKARVEL_FUZZ_HARNESS_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace skarvel::fuzz {

// Parses |data| as descriptor text and composes the result back.
void runDescriptorInput(const uint8_t* data, size_t size);

// Commands input: byte 0 chooses the options, bytes 1-2 (u16 LE) give the
// length of the first file, a.vmdk, and the rest is the second file, b.vmdk
// (which a.vmdk may name as an extent or as its parent). Both are written to
// a private directory and the commands run on a.vmdk: info, clone, copy,
// convert, check -R (twice), rebase onto b.vmdk and grow, in that order, each
// bounded in time and in the size of the files it writes, so that an input
// declaring a large disk still runs fast (rebase and grow run only on disks
// of up to 256 MiB, which the invariants read whole).
// Everything written is removed afterwards.
void runCommandsInput(const uint8_t* data, size_t size);

// Encodes two files as a commands input.
std::string commandsInput(uint8_t options, const std::string& a, const std::string& b);

}  // namespace skarvel::fuzz

#endif  // SKARVEL_FUZZ_HARNESS_H_
