// libFuzzer target: descriptor text, parsed and composed back.
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  skarvel::fuzz::runDescriptorInput(data, size);
  return 0;
}
