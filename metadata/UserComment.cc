#include "metadata/UserComment.h"

#include <iconv.h>

#include <cstring>

#include "platform/Plist.h"

namespace sorv {

namespace {

void appendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

std::optional<std::string> iso2022jpToUtf8(const std::uint8_t* p, std::size_t n) {
  iconv_t cd = iconv_open("UTF-8", "ISO-2022-JP");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  // Every input byte gives at most three output bytes.
  std::string out(3 * n + 4, '\0');
  char* in = const_cast<char*>(reinterpret_cast<const char*>(p));
  std::size_t inLeft = n;
  char* o = out.data();
  std::size_t outLeft = out.size();
  bool ok = iconv(cd, &in, &inLeft, &o, &outLeft) != static_cast<std::size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &o, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - outLeft);
  return out;
}

bool hasCode(const std::uint8_t* p, std::size_t n, const char (&code)[9]) {
  return n >= 8 && std::memcmp(p, code, 8) == 0;
}

}  // namespace

std::optional<std::string> utf16ToUtf8(const std::uint8_t* p, std::size_t n, bool bigEndian) {
  if (n % 2 != 0) return std::nullopt;
  auto unit = [&](std::size_t i) -> std::uint32_t {
    return bigEndian ? (std::uint32_t{p[i]} << 8) | p[i + 1]
                     : (std::uint32_t{p[i + 1]} << 8) | p[i];
  };
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; i += 2) {
    std::uint32_t c = unit(i);
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 4 > n) return std::nullopt;
      const std::uint32_t low = unit(i + 2);
      if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::optional<std::string> decodeUserComment(const std::uint8_t* p, std::size_t n,
                                             bool tiffBigEndian) {
  if (hasCode(p, n, "ASCII\0\0\0") || hasCode(p, n, "\0\0\0\0\0\0\0\0")) {
    std::string text(reinterpret_cast<const char*>(p + 8), n - 8);
    if (!isValidUtf8(text)) return std::nullopt;
    return text;
  }
  if (hasCode(p, n, "UNICODE\0")) {
    p += 8, n -= 8;
    bool bigEndian = tiffBigEndian;
    if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
      bigEndian = true, p += 2, n -= 2;
    } else if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
      bigEndian = false, p += 2, n -= 2;
    } else if (n >= 2 && p[0] == 0 && p[1] != 0) {
      bigEndian = true;  // an ASCII first character, such as the "<" of XML
    } else if (n >= 2 && p[0] != 0 && p[1] == 0) {
      bigEndian = false;
    }
    return utf16ToUtf8(p, n, bigEndian);
  }
  if (hasCode(p, n, "JIS\0\0\0\0\0")) return iso2022jpToUtf8(p + 8, n - 8);
  std::string text(reinterpret_cast<const char*>(p), n);
  if (!isValidUtf8(text)) return std::nullopt;
  return text;
}

std::optional<Dict> parseDictionaryText(std::string_view text) {
  if (!isValidUtf8(text)) return std::nullopt;
  std::size_t end = text.size();
  while (end > 0) {
    const char c = text[end - 1];
    if (c != '\0' && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v')
      break;
    --end;
  }
  if (end == 0) return std::nullopt;
  std::optional<Value> root = plist::parse(text.data(), end);
  if (!root || !root->asDict()) return std::nullopt;
  return std::move(*root->asDict());
}

}  // namespace sorv
