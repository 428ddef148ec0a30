// The site's reply as the agent reads it: Mac OS Roman decoding, XML parsing, the first two
// child nodes of the root, and the reply keys built from them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/Value.h"
#include "upload/HttpController.h"
#include "upload/UploadReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  sorv::ParsedReply reply = sorv::parseUploadReply(body);
  sorv::HttpResult result;
  result.statusCode = 200;
  result.body = std::string(body);
  sorv::Dict info;
  sorv::addHttpResultKeys(result, &info);
  sorv::addUploadStatusKeys(reply, &info);
  (void)sorv::isUploadReplySuccess(info);
  return 0;
}
