// Reading the site's reply: the http* keys of a reply info, and the service's status and
// message from the first two child nodes of the XML reply's root element.
#pragma once

#include <string>
#include <string_view>

#include "platform/Value.h"
#include "platform/http/HttpTransport.h"

namespace sorv {

struct ParsedReply {
  enum class Kind { ParseError, TooFewChildren, Status };
  Kind kind = Kind::ParseError;
  std::string status;   // Kind::Status: string value of the root's first child node
  std::string message;  // Kind::Status: of the second; ParseError: the parser's description
};

// Decodes body (UTF-8 when it is valid UTF-8, else Mac OS Roman) and parses it as XML. Bodies over
// kMaxHttpReplyBytes are a parse error. Never throws.
ParsedReply parseUploadReply(std::string_view body);

// Whether a reply's status or message text is the given word, ignoring letter case and the
// white space and line ends around it. False for nullptr.
bool replyWordEquals(const std::string* text, const char* word);

// Adds "httpStatusCode", "httpError", "httpResponse" and "httpReturnData" from result,
// each only when the result has it.
void addHttpResultKeys(const HttpResult& result, Dict* replyInfo);

// Adds "httpOurCustomStatus"/"httpOurCustomMessage" for a photo upload: the service's
// status and message, or "FAIL" with the parser's description or "Not enough data
// returned...".
void addUploadStatusKeys(const ParsedReply& reply, Dict* replyInfo);

}  // namespace sorv
