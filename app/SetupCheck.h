// `sorv-uploader --check`: whether this kiosk can run the agent unattended. Each check gives
// one line that passes, or fails and says what to do. Nothing is changed, except that a
// missing log folder is made, a few KB are written there and removed, and the source folder is
// claimed for a moment to see whether another agent serves it.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sorv {

struct SetupCheckResult {
  std::string name;  // "settings", "source folder", ...
  bool passed = false;
  std::string detail;  // what was found
  std::string fix;     // what to do; empty when it passed
};

struct SetupCheckOptions {
  double siteTimeoutSeconds = 10;
  // Tries the site's connection: nullopt when it answered, else why not. Empty: the
  // platform's probe (platform/http).
  std::function<std::optional<std::string>(const std::string& url, double timeoutSeconds)>
      probeSite;
};

// Runs every check on the settings in DefaultsStore::standard() and the served folder of
// Preferences, in a fixed order: settings, source folder, mirror folder, problem folder,
// site address, site answers, log folder, source folder free.
std::vector<SetupCheckResult> runSetupChecks(const SetupCheckOptions& options = {});

// The source folder check on the form of path alone: a failed result when path is not a full
// path once a leading ~/ is taken as the home folder. served: it came from SORV_SOURCE_FOLDER.
// The agent refuses such a SORV_SOURCE_FOLDER the same way.
std::optional<SetupCheckResult> sourceFolderFormProblem(const std::string& path, bool served);

// "PASS  name: detail" or "FAIL  name: detail. Fix: fix".
std::string setupCheckLine(const SetupCheckResult& result);

// The command: takes SORV_SOURCE_FOLDER as the agent does, writes one line a check and a
// summary line to out; 0 when every check passed, else 1.
int runSetupCheckCommand(std::FILE* out);

}  // namespace sorv
