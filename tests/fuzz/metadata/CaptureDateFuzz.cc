// The capture-date reader on any file content, and the date-text steps on any text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "metadata/CaptureDate.h"
#include "metadata/CaptureDateReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sorv::MemorySource file(data, size);
  sorv::CaptureDateStatus status;
  sorv::readCaptureDate(file, sorv::kCGImagePropertyExifDictionary,
                        sorv::kCGImagePropertyExifDateTimeOriginal, "-0800", &status);
  sorv::readCaptureDate(file, sorv::kCGImagePropertyTIFFDictionary,
                        sorv::kCGImagePropertyTIFFDateTime, "+0530", &status);
  const std::string_view text(reinterpret_cast<const char*>(data), size < 64 ? size : 64);
  sorv::captureDateFromText(text, "+0000", &status);
  sorv::dateFromStandardText(text);
  return 0;
}
