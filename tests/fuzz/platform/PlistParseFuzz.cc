// Property lists come from photo files, preference files and the defaults file.
#include <cstddef>
#include <cstdint>

#include "platform/Plist.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string err;
  auto v = sorv::plist::parse(data, size, &err);
  if (v) {
    // What parses must render and parse again.
    std::string xml = sorv::plist::toXml(*v);
    (void)sorv::plist::parse(xml.data(), xml.size());
    (void)v->description();
  }
  return 0;
}
