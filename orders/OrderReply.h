// Reading the site's answer to an order query: the bounded parse, the lookups by element
// name, and the file name rule of the version-4 name fallback.
#pragma once

#include <optional>
#include <pugixml.hpp>
#include <string>
#include <string_view>

namespace sorv {

// Decodes body (UTF-8 when it is valid UTF-8, else Mac OS Roman) and parses it into doc.
// Bodies over kMaxHttpReplyBytes are refused. No entity is ever resolved beyond the five
// predefined ones and character references; a DOCTYPE and its declarations are skipped.
// False with *err set when there is no document with a root element. Never throws.
bool parseOrderReply(std::string_view body, pugi::xml_document* doc, std::string* err);

// The string value of a node: all text and CDATA below it, in document order. Iterative,
// so any nesting depth is safe.
std::string stringValueOf(const pugi::xml_node& node);

// The string value of node's first child element called name; nullopt when it has none.
std::optional<std::string> valueOfChild(const pugi::xml_node& node, const char* name);

// How many child elements of node are called name.
std::size_t countChildren(const pugi::xml_node& node, const char* name);

// Where the name fallback looks for a photo the kiosk named fileName, relative to the main
// images folder: "12345678_0003 copy" gives "12345678/12345678_0003.jpg", "portrait" gives
// "portrait.jpg".
std::string hiResTryPathForFileName(const std::string& fileName);

}  // namespace sorv
