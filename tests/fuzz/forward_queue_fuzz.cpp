#include <cstdint>

#include "fuzz_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return tarnwick::fuzz::Run(tarnwick::fuzz::CheckForwardFiles, data, size);
}
