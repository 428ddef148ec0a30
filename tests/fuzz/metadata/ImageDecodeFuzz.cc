// The complete JPEG and PNG decodes behind IsValidImageObject on any file content.
#include <cstddef>
#include <cstdint>

#include "metadata/ImageDecode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sorv::MemorySource file(data, size);
  sorv::decodeImageCompletely(file);
  return 0;
}
