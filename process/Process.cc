// Running external programs and bundle scripts, and the version labels.
#include "process/Process.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "log/MessageLog.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/MacRoman.h"
#include "platform/Program.h"

namespace sorv {

namespace {

bool containsIgnoringCase(const std::string& text, const std::string& needle) {
  auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
  return it != text.end();
}

}  // namespace

std::optional<std::string> runShellScript2(const std::optional<std::string>& program,
                                           const std::vector<std::string>* args) {
  if (!program) {
    NSLog("\n\nrunShellScript2 FAILED => scriptName==nil!\n\n");
    return std::nullopt;
  }
  ProgramRun run = runProgram(*program, args ? *args : std::vector<std::string>{});
  if (!run.started) return std::nullopt;
  if (run.status != 0) NSLog("runShellScript2 Task failed.");
  if (!isValidUtf8(run.output)) return std::nullopt;
  return run.output;
}

bool runShellScript(const std::optional<std::string>& scriptName,
                    const std::vector<std::string>* args) {
  if (!scriptName) {
    NSLog("\n\nrunShellScript FAILED => scriptName==nil!\n\n");
    return false;
  }
  std::string path = Bundle::resourcesPath() + "/" + *scriptName;
  // A name that leaves the resources folder is no script of the bundle.
  bool inBundle = scriptName->find('/') == std::string::npos && *scriptName != "." &&
                  *scriptName != ".." && access(path.c_str(), X_OK) == 0;
  if (!inBundle) {
    NSLog("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n",
          scriptName->c_str());
    return false;
  }
  ProgramRun run = runProgram(path, args ? *args : std::vector<std::string>{});
  if (!run.started) {
    NSLog("\n\nrunShellScript FAILED => UNABLE to find script named: [%s]!\n\n",
          scriptName->c_str());
    return false;
  }
  NSLog(run.status != 0 ? "Task failed." : "Task succeeded.");
  std::string output = isValidUtf8(run.output) ? run.output : std::string();
  if (containsIgnoringCase(output, "not connected")) {
    NSLog("\n\nTHERE IS NO INTERNET CONNECTION on ftp shell level...\n\n");
    return false;
  }
  return true;
}

// ---- Version labels

std::string bundleShortVersion() {
  const std::string* v = dictGetString(Bundle::infoDictionary(), "CFBundleShortVersionString");
  return v ? *v : "Unknown CFBundleShortVersionString";
}

int fillInVersionString(VersionField* field) {
  if (!field) return 0;
  std::string version = bundleShortVersion();
  field->setStringValue((field->tag() == 888 ? "App Vers: " : "Version: ") + version);
  std::string line = Bundle::displayName() + " Version is [" + version + "]";
  MessageLog::LogMessage(line.c_str(), true);
  return 1;
}

}  // namespace sorv
