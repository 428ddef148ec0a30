#include "orders/OrderReply.h"

#include <cctype>
#include <cstring>
#include <exception>

#include "platform/MacRoman.h"
#include "platform/http/HttpTransport.h"

namespace sorv {

bool parseOrderReply(std::string_view body, pugi::xml_document* doc, std::string* err) {
  if (body.size() > kMaxHttpReplyBytes) {
    *err = "The reply is too large to read";
    return false;
  }
  try {
    std::string text = isValidUtf8(body) ? std::string(body) : macRomanToUtf8(body);
    // parse_default keeps no DOCTYPE node and expands only the predefined entities.
    pugi::xml_parse_result result =
        doc->load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
    if (!result) {
      *err = std::string(result.description()) + " at offset " + std::to_string(result.offset);
      return false;
    }
    if (!doc->document_element()) {
      *err = "No document element found";
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    *err = e.what();
    return false;
  }
}

std::string stringValueOf(const pugi::xml_node& start) {
  std::string out;
  pugi::xml_node node = start.first_child();
  while (node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) out += node.value();
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && node != start && !node.next_sibling()) node = node.parent();
    if (!node || node == start) break;
    node = node.next_sibling();
  }
  if (start.type() == pugi::node_pcdata || start.type() == pugi::node_cdata) out = start.value();
  return out;
}

std::optional<std::string> valueOfChild(const pugi::xml_node& node, const char* name) {
  pugi::xml_node child = node.child(name);
  if (!child) return std::nullopt;
  return stringValueOf(child);
}

std::size_t countChildren(const pugi::xml_node& node, const char* name) {
  std::size_t n = 0;
  for (pugi::xml_node c = node.child(name); c; c = c.next_sibling(name)) ++n;
  return n;
}

std::string hiResTryPathForFileName(const std::string& fileName) {
  std::string base = fileName;
  if (auto blank = fileName.find(' '); blank != std::string::npos) {
    base = fileName.substr(0, blank);
  } else if (auto copy = fileName.find("copy"); copy != std::string::npos) {
    base = fileName.substr(0, copy);
  }
  std::string stem = base.substr(0, base.find('_'));
  auto isDigit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  std::size_t b = 0, e = stem.size();
  while (b < e && !isDigit(stem[b])) ++b;
  while (e > b && !isDigit(stem[e - 1])) --e;
  std::string digits = stem.substr(b, std::min<std::size_t>(e - b, 8));
  std::string file = base + ".jpg";
  return digits.empty() ? file : digits + "/" + file;
}

}  // namespace sorv
