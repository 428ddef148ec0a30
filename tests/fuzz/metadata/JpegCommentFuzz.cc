// The JPEG UserComment reader on any file content, and the comment decoder on any bytes.
#include <cstddef>
#include <cstdint>

#include "metadata/MetadataReaders.h"
#include "metadata/UserComment.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sorv::MemorySource file(data, size);
  sorv::UserCommentStatus status;
  sorv::readUserComment(file, &status);
  if (size > 0) sorv::decodeUserComment(data + 1, size - 1, data[0] & 1);
  return 0;
}
