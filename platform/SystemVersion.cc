#include "platform/SystemVersion.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "platform/Console.h"
#include "platform/MacRoman.h"
#include "platform/Program.h"

namespace sorv {

namespace {
constexpr const char* kSwVers = "/usr/bin/sw_vers";
bool hasSwVers() {
  return access(kSwVers, X_OK) == 0;
}
}  // namespace

std::optional<std::string> systemVersionText() {
  if (hasSwVers()) {
    ProgramRun run = runProgram(kSwVers, {"-productVersion"});
    if (!run.started) return std::nullopt;
    if (run.status != 0) NSLog("%s -productVersion failed.", kSwVers);
    if (!isValidUtf8(run.output)) return std::nullopt;
    return run.output;
  }
  struct utsname u;
  if (uname(&u) != 0) return std::nullopt;
  return std::string(u.release);
}

bool versionAtLeast(const std::string& text, int major, int minor, int patch) {
  int parts[3] = {0, 0, 0};
  if (std::sscanf(text.c_str(), "%d.%d.%d", &parts[0], &parts[1], &parts[2]) < 1) return false;
  const int want[3] = {major, minor, patch};
  for (int i = 0; i < 3; ++i)
    if (parts[i] != want[i]) return parts[i] > want[i];
  return true;
}

VersionThreshold minimumSystemVersion() {
  return hasSwVers() ? VersionThreshold{10, 4, 0} : VersionThreshold{2, 6, 0};
}
VersionThreshold watcherSystemVersion() {
  return hasSwVers() ? VersionThreshold{10, 5, 0} : VersionThreshold{2, 6, 13};
}

}  // namespace sorv
