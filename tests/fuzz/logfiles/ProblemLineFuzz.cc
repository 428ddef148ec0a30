// problems.jsonl as anyone may have written it: the line reader never crashes, and a record it
// takes comes back unchanged through the writer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "logfiles/ProblemJournal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto record = sorv::parseProblemLine(text);
  if (!record) return 0;
  std::string line = sorv::formatProblemLine(*record);
  auto again = sorv::parseProblemLine(std::string_view(line).substr(0, line.size() - 1));
  // The writer cuts long texts; a path of up to 1000 bytes is never cut.
  if (!again || (record->path.size() <= 1000 && again->path != record->path)) __builtin_trap();
  return 0;
}
