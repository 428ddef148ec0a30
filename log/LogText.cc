#include "log/LogText.h"

namespace sorv {

std::string clippedForLog(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t keep = limit;
  // A UTF-8 continuation byte at the cut: the whole character goes with the rest.
  for (int back = 0;
       back < 3 && keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80; ++back)
    --keep;
  const std::size_t more = text.size() - keep;
  return std::string(text.substr(0, keep)) + "... (" + std::to_string(more) +
         (more == 1 ? " byte more)" : " bytes more)");
}

}  // namespace sorv
