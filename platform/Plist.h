// Property-list codec over libplist: XML and binary in, XML out.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace sorv::plist {

// Parses an XML or binary property list. Never throws; on failure gives nullopt and, when
// err is given, a one-line reason.
std::optional<Value> parse(const void* bytes, std::size_t size, std::string* err = nullptr);

// Reads and parses a file of at most maxBytes; larger, unreadable or malformed files fail.
std::optional<Value> parseFile(const std::string& path, std::string* err = nullptr,
                               std::size_t maxBytes = 16u << 20);

// Renders an XML property list (UTF-8).
std::string toXml(const Value& v);

// Writes toXml(v) to path atomically: a temporary file in the same folder, fsync, rename,
// fsync of the folder. The file gets the given mode. Only a missing path or a regular file is
// replaced (see platform/fs/AtomicWrite.h); *code, when given, gets the refusal or errno value.
bool writeFileAtomically(const std::string& path, const Value& v, std::string* err = nullptr,
                         unsigned mode = 0644, int* code = nullptr);

}  // namespace sorv::plist
