// An order reply as the agent walks it: the bounded parse, both layouts' walks with their
// required elements, the percent decoding of recorded paths and the name fallback's rule.
// Search method 0, so that the walk never looks at this machine's files.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "files/OriginalPath.h"
#include "orders/HttpHiResController.h"
#include "orders/OrderReply.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace {

class NoTransport : public sorv::HttpTransport {
 public:
  sorv::HttpResult post(const sorv::HttpRequest&) override { return {}; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ::setenv("SORV_LOG_DIR", "/tmp/sorv-fuzz-order-reply", 1);
  sorv::DefaultsStore::resetStandardForPath("/tmp/sorv-fuzz-order-reply/defaults.plist");
  sorv::DefaultsStore::standard().setObject(sorv::Value(0), sorv::sPrefSearchPathMethodTag);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  pugi::xml_document doc;
  std::string err;
  if (sorv::parseOrderReply(body, &doc, &err)) {
    NoTransport transport;
    sorv::HttpHiResController controller(&transport);
    sorv::Dict replyInfo{{"edUser", sorv::Value("u")}, {"edPasswd", sorv::Value("p")}};
    controller.parseDataVers3(&doc, &replyInfo);
    controller.parseDataVers4(&doc, &replyInfo);
  }
  std::string text(body);
  (void)sorv::hiResTryPathForFileName(text);
  if (auto decoded = sorv::decodedRecordedPath(text))
    (void)sorv::hasParentDirectoryComponent(*decoded);
  return 0;
}
