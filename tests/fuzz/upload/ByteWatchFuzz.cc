// The delimiter watch over a file streamed in pieces: whatever the bytes and the cuts, it
// finds the delimiter exactly when a search of the whole text (the text before it included)
// does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/http/HttpTransport.h"
#include "upload/MultipartForm.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cut = data[0];         // the piece size, 1 to 256
  const std::size_t before = data[1] % 4;  // bytes of the text before the file
  std::string bytes(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string head = std::string("\r\n\r\n").substr(4 - before);
  sorv::ByteWatch watch(sorv::kFileDelimiter);
  watch.reset(head);
  bool found = false;
  for (std::size_t off = 0; off < bytes.size(); off += cut + 1)
    found = watch.feed(std::string_view(bytes).substr(off, cut + 1)) || found;
  bool expected = (head + bytes).find(sorv::kFileDelimiter) != std::string::npos;
  if (found != expected) __builtin_trap();
  return 0;
}
