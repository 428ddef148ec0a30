// The operating system's version and the two thresholds the agent holds it to.
#pragma once

#include <optional>
#include <string>

namespace sorv {

// "sw_vers -productVersion" where that program exists, else the kernel release; nullopt when
// neither answers (or sw_vers prints something that is not UTF-8).
std::optional<std::string> systemVersionText();
// The version text's major.minor.patch compared with the given numbers, by number.
bool versionAtLeast(const std::string& text, int major, int minor, int patch = 0);
// The thresholds: to run at all, and to watch folders.
struct VersionThreshold {
  int major, minor, patch;
};
VersionThreshold minimumSystemVersion();  // 10.4, or kernel 2.6 on Linux
VersionThreshold watcherSystemVersion();  // 10.5, or kernel 2.6.13 on Linux

}  // namespace sorv
