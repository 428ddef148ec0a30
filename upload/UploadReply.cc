#include "upload/UploadReply.h"

#include <strings.h>

#include <cstring>
#include <exception>
#include <pugixml.hpp>

#include "platform/Notifications.h"
#include "platform/MacRoman.h"

namespace sorv {
namespace {

constexpr const char* kNotEnoughData = "Not enough data returned...";

// The XPath string value of a node: for an element, all its descendant text in order.
std::string stringValueOf(const pugi::xml_node& node) {
  pugi::xpath_query query("string(.)");
  return query.evaluate_string(pugi::xpath_node(node));
}

std::string parseErrorText(const pugi::xml_parse_result& result) {
  return std::string(result.description()) + " at offset " + std::to_string(result.offset);
}

}  // namespace

ParsedReply parseUploadReply(std::string_view body) {
  ParsedReply out;
  if (body.size() > kMaxHttpReplyBytes) {
    out.message = "The reply is too large to read";
    return out;
  }
  try {
    // The site writes UTF-8; anything that is not valid UTF-8 is read as Mac OS Roman.
    std::string text = isValidUtf8(body) ? std::string(body) : macRomanToUtf8(body);
    pugi::xml_document doc;
    pugi::xml_parse_result result =
        doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
      out.message = parseErrorText(result);
      return out;
    }
    pugi::xml_node root = doc.document_element();
    if (!root) {
      out.message = "No document element found";
      return out;
    }
    pugi::xml_node first = root.first_child();
    pugi::xml_node second = first ? first.next_sibling() : pugi::xml_node();
    if (!second) {
      out.kind = ParsedReply::Kind::TooFewChildren;
      return out;
    }
    out.kind = ParsedReply::Kind::Status;
    out.status = stringValueOf(first);
    out.message = stringValueOf(second);
  } catch (const std::exception& e) {
    out = ParsedReply{};
    out.message = e.what();
  }
  return out;
}

bool replyWordEquals(const std::string* text, const char* word) {
  if (!text) return false;
  const char* ws = " \t\r\n\v\f";
  auto b = text->find_first_not_of(ws);
  if (b == std::string::npos) return *word == '\0';
  auto e = text->find_last_not_of(ws);
  std::size_t n = e - b + 1;
  return n == std::strlen(word) && strncasecmp(text->c_str() + b, word, n) == 0;
}

void addHttpResultKeys(const HttpResult& result, Dict* info) {
  if (result.statusCode)
    (*info)[kHttpStatusCode] = Value(static_cast<long long>(*result.statusCode));
  if (result.error) {
    (*info)[kHttpError] = Value(Dict{{"code", Value(static_cast<long long>(result.error->code))},
                                     {"domain", Value(result.error->domain)},
                                     {"localizedDescription", Value(result.error->description)}});
  }
  if (result.statusCode) {
    Dict headers;
    for (const auto& [name, value] : result.responseHeaders) headers[name] = Value(value);
    (*info)[kHttpResponse] =
        Value(Dict{{"statusCode", Value(static_cast<long long>(*result.statusCode))},
                   {"headers", Value(std::move(headers))}});
  }
  if (result.body) (*info)[kHttpReturnData] = Value(Data(result.body->begin(), result.body->end()));
}

void addUploadStatusKeys(const ParsedReply& reply, Dict* info) {
  switch (reply.kind) {
    case ParsedReply::Kind::Status:
      (*info)[kHttpOurCustomStatus] = Value(reply.status);
      (*info)[kHttpOurCustomMessage] = Value(reply.message);
      break;
    case ParsedReply::Kind::TooFewChildren:
      (*info)[kHttpOurCustomStatus] = Value("FAIL");
      (*info)[kHttpOurCustomMessage] = Value(kNotEnoughData);
      break;
    case ParsedReply::Kind::ParseError:
      (*info)[kHttpOurCustomStatus] = Value("FAIL");
      (*info)[kHttpOurCustomMessage] = Value(reply.message);
      break;
  }
}

}  // namespace sorv
