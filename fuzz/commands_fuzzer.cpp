// libFuzzer target: every command on one or two files made from the input.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  skarvel::fuzz::runCommandsInput(data, size);
  return 0;
}
