// The PNG trailer reader on any file content, and its text parser on any trailer.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "metadata/MetadataReaders.h"
#include "metadata/PhotoMetadata.h"
#include "metadata/UserComment.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sorv::MemorySource file(data, size);
  sorv::PngTrailerStatus status;
  sorv::readPngTrailer(file, &status);
  const std::size_t n = size < sorv::kSorvPngMetaDataLength ? size : sorv::kSorvPngMetaDataLength;
  sorv::parseDictionaryText(std::string_view(reinterpret_cast<const char*>(data), n));
  return 0;
}
