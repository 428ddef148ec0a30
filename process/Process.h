// Process control: running external programs and bundle scripts, the version labels, and
// the ways the agent replaces itself with a fresh process (the relaunch helpers, the forced
// restart, or the service manager when the agent runs as a service). The system version is
// platform/SystemVersion.h; starting a program, platform/Program.h.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sorv {

// ---- External programs

// Runs the program at `program` directly (no shell) with `args`, collecting its standard
// output while it runs; answers the output decoded as UTF-8, or nullopt (no path, not
// startable, not UTF-8). A non-zero exit status is logged.
std::optional<std::string> runShellScript2(const std::optional<std::string>& program,
                                           const std::vector<std::string>* args = nullptr);
// Runs the bundle script `scriptName` (found in the bundle's resources) with `args`. False for
// no name, a missing script or output that says "not connected"; true otherwise, whatever
// the exit status.
bool runShellScript(const std::optional<std::string>& scriptName,
                    const std::vector<std::string>* args = nullptr);

// ---- Version labels

// A text field that shows a version label.
class VersionField {
 public:
  virtual ~VersionField() = default;
  virtual int tag() const = 0;
  virtual void setStringValue(const std::string& text) = 0;
};
// "App Vers: V" for tag 888, else "Version: V"; 0 for no field, else 1.
int fillInVersionString(VersionField* field);
// CFBundleShortVersionString, or "Unknown CFBundleShortVersionString".
std::string bundleShortVersion();

// ---- Replacing the process

// The arguments the agent was started with (argv[1..]); a fresh process gets them again.
void setLaunchArguments(int argc, char** argv);
const std::vector<std::string>& launchArguments();

// The arguments as the relaunch helpers receive them (SORV_RELAUNCH_ARGS): one per line,
// "%" and line feeds escaped as %25 and %0A. An empty text is no arguments.
std::string encodeRelaunchArguments(const std::vector<std::string>& args);
std::vector<std::string> decodeRelaunchArguments(const std::string& text);

// The status the agent exits with after a relaunch handed to the service manager.
inline constexpr int kRelaunchExitStatus = 75;
// True when a service manager restarts the agent (systemd's INVOCATION_ID, or
// SORV_SERVICE_MANAGER set): a detached helper would die with the service.
bool runningUnderServiceManager();
// The exit status main() ends with (0 unless a relaunch asked for kRelaunchExitStatus).
void setExitStatus(int status);
int exitStatus();

// Starts the bundle's "relaunch" helper with the bundle path, this process's id and the
// flags, without waiting. False when it could not start.
bool startRelaunchHelper(long flags);
// Starts "relaunch.app/Contents/MacOS/relaunch" with the quoted bundle path and the id of the
// first running agent found in /proc; always 0.
int sorvNSTaskRelaunchSelf();
// Kills this process from a shell and starts the bundle again; does not return.
[[noreturn]] void forceToRestart();

// Processes whose executable is named `name` (ignoring case and any extension), in /proc
// order; this process first when it is one of them.
std::vector<int> runningApplicationPids(const std::string& name);

}  // namespace sorv
