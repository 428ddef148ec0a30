#include "logfiles/QMLogFileManager.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "files/DescriptorWalk.h"
#include "files/FolderCleaning.h"
#include "files/UserTrash.h"
#include "platform/Bundle.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/SystemVersion.h"
#include "platform/fs/FileSystem.h"

namespace sorv {
namespace {

const char* const kClassName = "QMLogFileManager";
const char* const kRule = "===========================================================";
constexpr double kDefaultRetentionSeconds = 3 * 86400.0;
// The DMI product name is one short line; more is not read.
constexpr std::size_t kMaxModelBytes = 256;

std::mutex gMutex;
std::optional<std::string> gApplicationName;
std::optional<std::string> gCopyrightVersion;

std::string infoText(const char* key) {
  const std::string* text = dictGetString(Bundle::infoDictionary(), key);
  return text ? *text : std::string();
}

std::string trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  text.erase(0, text.find_first_not_of(blanks));
  text.erase(text.find_last_not_of(blanks) + 1);
  return text;
}

bool optionFlag(const Dict& options, const char* key) {
  const Value* v = dictGet(options, key);
  return v && v->isNumber() && v->integerValue() != 0;
}

bool nameBeginsWith(const std::string& name, const std::string& baseName) {
  return name.size() >= baseName.size() &&
         strncasecmp(name.c_str(), baseName.c_str(), baseName.size()) == 0;
}

// Removes or trashes one qualifying file; the caller has checked that it is a regular file.
// unlinkAt: removes the name in the walk's open folder instead of by path.
void removeLogFile(const std::string& name, const std::string& fullPath, Date beforeDate,
                   const std::string& baseName, bool deleteImmediately, const WalkEntry* unlinkAt) {
  if (!nameBeginsWith(name, baseName)) return;
  if (!itemIsEarlierThan(fullPath, beforeDate, kNSFileModificationDate)) return;
  if (!deleteImmediately) {
    NSLog("Item Moved To Trash: [%s]", name.c_str());
    moveFileToUserTrash(fullPath);
    return;
  }
  NSLog("Item DELETED: [%s]", name.c_str());
  FileSystem& fs = defaultFileSystem();
  int rc = unlinkAt ? fs.unlinkAt(unlinkAt->folderFd, unlinkAt->name, false) : fs.unlink(fullPath);
  if (rc != 0) NSLog("deleteItem => could not delete [%s]: %s", fullPath.c_str(), strerror(rc));
}

}  // namespace

std::string QMLogFileManager::gLogPath() {
  return logFolderPath();
}

std::string QMLogFileManager::getApplicationName() {
  std::string name = infoText("CFBundleExecutable");
  if (name.empty()) name = infoText("CFBundleDisplayName");
  name = deletingPathExtension(name);
  // The name becomes part of a file name and a retention prefix: never a path, never empty.
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
    name = gDefaultLogBaseName;
  std::lock_guard<std::mutex> lock(gMutex);
  gApplicationName = name;
  return name;
}

std::string QMLogFileManager::getCopyrightInfo() {
  std::string version = infoText("CFBundleShortVersionString");
  if (version.empty())
    version = "Could not get the version information (CFBundleShortVersionString)";
  std::lock_guard<std::mutex> lock(gMutex);
  gCopyrightVersion = version;
  return version;
}

std::optional<std::string> QMLogFileManager::applicationName() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gApplicationName;
}

void QMLogFileManager::resetForTesting() {
  std::lock_guard<std::mutex> lock(gMutex);
  gApplicationName.reset();
  gCopyrightVersion.reset();
}

std::string QMLogFileManager::hostModelAndArch() {
  std::string model;
  if (FILE* f = fopen("/sys/devices/virtual/dmi/id/product_name", "re")) {
    char buf[kMaxModelBytes];
    std::size_t n = fread(buf, 1, sizeof buf, f);
    fclose(f);
    model = trimmed(std::string(buf, n));
  }
  if (model.empty()) model = "Unknown";
  struct utsname u;
  std::string machine = uname(&u) == 0 ? u.machine : "unknown";
  return model + " (" + machine + ")";
}

std::string computeCurrentDaysFolderString2(int hours, int minutes) {
  time_t when = static_cast<time_t>(defaultClock().wallNow()) - hours * 3600 - minutes * 60;
  struct tm t;
  localtime_r(&when, &t);
  char buf[32];
  std::size_t n = strftime(buf, sizeof buf, "%Y_%m_%d", &t);
  return std::string(buf, n);
}

std::string expandingTildeInPath(const std::string& path) {
  if (path == "~/Documents" || path.rfind("~/Documents/", 0) == 0)
    return documentsFolderPath() + path.substr(11);
  if (path == "~" || path.rfind("~/", 0) == 0) return homeFolder() + path.substr(1);
  return path;
}

std::string QMLogFileManager::logFilePathForToday() {
  std::string name = applicationName().value_or(gDefaultLogBaseName);
  return gLogPath() + "/" + name + "_" + computeCurrentDaysFolderString2(3, 0) + "." +
         gLogExtension;
}

bool QMLogFileManager::setupLogFile() {
  NSLog("Inside %s->%s...", kClassName, "setupLogFile");
  const std::string version = getCopyrightInfo();
  const std::string name = getApplicationName();
  const std::string folder = gLogPath();
  errno = 0;
  if (!createFolderWithParents(folder)) {
    NSLog("createDirectoryAtPath returned error: %s", strerror(errno));
  }
  FileSystem& fs = defaultFileSystem();
  if (!fs.isDirectory(folder)) {
    NSLog("setupLogFile => UNABLE to create the log path [%s]", folder.c_str());
    return true;
  }
  const std::string path = logFilePathForToday();
  NSLog("Trying to freopen logFilePath[%s]", path.c_str());
  // Opened first and then put in place, so that a file that cannot be opened leaves standard
  // error where it was instead of closing it.
  int fd = -1;
  if (int rc = fs.openAppending(path, 0644, &fd)) {
    NSLog("setupLogFile => could not open [%s]: %s", path.c_str(), strerror(rc));
    return true;
  }
  fflush(stderr);
  dup2(fd, STDERR_FILENO);
  fs.closeDescriptor(fd);
  NSLog("%s", kRule);
  NSLog("%s", hostModelAndArch().c_str());
  if (std::optional<std::string> os = systemVersionText()) {
    NSLog("Mac OS: v%s", os->c_str());
  } else {
    NSLog("runShellScript2 failed to get Mac OS version???");
  }
  NSLog("%s => %s", name.c_str(), version.c_str());
  NSLog("%s", kRule);
  return true;
}

void QMLogFileManager::deleteOldLogsWithOptions(const Dict& options) {
  const std::string* source = dictGetString(options, "sourcePath");
  const std::string folder = expandingTildeInPath(source ? *source : gLogPath());
  std::string baseName;
  if (const std::string* given = dictGetString(options, "baseName")) {
    baseName = *given;
  } else if (std::optional<std::string> app = applicationName()) {
    baseName = *app;
  }
  NSLog("Inside %s->[%s] ==> Passed SourcePath: [%s]", kClassName,
        "deleteOldLogsWithOptions:", folder.c_str());
  // An empty base name would match every file in the folder.
  if (baseName.empty()) {
    NSLog("deleteOldLogsWithOptions => no base name to look for: nothing deleted");
    return;
  }
  Date beforeDate{defaultClock().wallNow() - kDefaultRetentionSeconds};
  if (const Value* v = dictGet(options, "beforeDate"); v && v->asDate()) beforeDate = *v->asDate();
  const bool recursive = optionFlag(options, "deleteSubDirectory");
  const bool now = optionFlag(options, "deleteImmediately");
  if (recursive) {
    if (std::optional<std::string> why = refusalForCleaningRoot(folder)) {
      NSLog("deleteOldLogsWithOptions => will not clean [%s]: %s", folder.c_str(), why->c_str());
      return;
    }
  }
  int rc = walkBelow(folder, recursive, [&](const WalkEntry& entry) {
    if (entry.isRegularFile())
      removeLogFile(entry.name, entry.fullPath, beforeDate, baseName, now, &entry);
    return WalkVisit::Continue;
  });
  if (rc) NSLog("deleteOldLogsWithOptions => cannot list [%s]: %s", folder.c_str(), strerror(rc));
}

void QMLogFileManager::deleteItem(const std::string& path, Date beforeDate,
                                  const std::string& baseName, bool deleteImmediately) {
  const std::string full = expandingTildeInPath(path);
  FileSystem& fs = defaultFileSystem();
  FileInfo info;
  if (fs.stat(full, &info) != 0) {
    NSLog("testDirectory=> curItem does NOT exist: %s\n", full.c_str());
    return;
  }
  if (fs.lstat(full, &info) != 0 || info.type != FileType::Regular || baseName.empty()) return;
  removeLogFile(lastPathComponent(full), full, beforeDate, baseName, deleteImmediately, nullptr);
}

}  // namespace sorv
