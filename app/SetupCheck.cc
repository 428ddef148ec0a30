#include "app/SetupCheck.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "files/SourceFolderClaim.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"
#include "platform/http/HttpTransport.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "settings/SettingsImport.h"

namespace sorv {

namespace {

constexpr const char* kImportHint =
    "set them in your settings file and run: sorv-uploader --import-settings FILE";

std::string expandTilde(const std::string& path) {
  if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
  return homeFolder() + path.substr(1);
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool isWritableFolder(const std::string& path) {
  return ::access(path.c_str(), W_OK | X_OK) == 0;
}

std::string canonical(const std::string& path) {
  char buf[PATH_MAX];
  return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

bool isSameOrInside(const std::string& inner, const std::string& outer) {
  if (inner == outer || outer == "/") return true;
  return inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         inner[outer.size()] == '/';
}

std::string quoted(const std::string& path) {
  std::string out = "'";
  for (char c : path) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

SetupCheckResult pass(const char* name, std::string detail) {
  return {name, true, std::move(detail), ""};
}
SetupCheckResult fail(const char* name, std::string detail, std::string fix) {
  return {name, false, std::move(detail), std::move(fix)};
}

// The folders and the site address as the agent will use them.
struct Setup {
  std::optional<std::string> source;  // tilde expanded
  bool sourceServed = false;          // from SORV_SOURCE_FOLDER
  std::optional<std::string> mirror;
  std::optional<std::string> problem;
  std::optional<std::string> url;  // only when it is an http(s) address
  std::optional<std::string> urlProblem;
};

Setup readSetup() {
  Setup s;
  s.sourceServed = Preferences::servedSourceFolder().has_value();
  if (auto source = Preferences::getLocalSourceUploadFolder(); source && !source->empty())
    s.source = expandTilde(*source);
  if (auto mirror = Preferences::getLocalMasterMirrorSiteFolder(); mirror && !mirror->empty()) {
    s.mirror = expandTilde(*mirror);
    s.problem = expandTilde(*Preferences::getLocalProblemUploadFolder());
  }
  auto url = DefaultsStore::standard().objectForKey(sPrefVyrURL);
  if (!url)
    s.urlProblem = "prefVyrURL is not set";
  else if (auto why = storedSettingProblem(sPrefVyrURL, *url))
    s.urlProblem = "prefVyrURL " + *why;
  else
    s.url = *url->asString();
  return s;
}

SetupCheckResult checkSettings(const Setup& setup) {
  auto& store = DefaultsStore::standard();
  std::vector<std::string> problems;
  const char* required[] = {sUserLoginName,
                            sUserLoginPassword,
                            sPrefUserEnteredEventName,
                            sPrefLocalMasterMirrorSiteFolder,
                            sPrefLocalSourceUploadFolder,
                            sPrefVyrURL};
  for (const char* key : required) {
    if (key == std::string(sPrefLocalSourceUploadFolder) && setup.sourceServed) continue;
    if (!store.objectForKey(key)) problems.push_back(std::string(key) + " is not set");
  }
  for (const auto& [key, value] : store.userDomain()) {
    if (!isImportableSetting(key)) continue;
    if (auto why = storedSettingProblem(key, value)) problems.push_back(key + ": " + *why);
  }
  if (!problems.empty()) {
    std::string detail;
    for (const auto& p : problems) detail += (detail.empty() ? "" : "; ") + p;
    return fail("settings", detail, kImportHint);
  }
  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%g", Preferences::getUploadTimeOut());
  return pass("settings",
              "login " + store.stringForKey(sUserLoginName).value_or("") + ", event \"" +
                  store.stringForKey(sPrefUserEnteredEventName).value_or("") + "\", site " +
                  setup.url.value_or("") + ", upload time-out " + timeout + " s");
}

}  // namespace

std::optional<SetupCheckResult> sourceFolderFormProblem(const std::string& path, bool served) {
  const std::string full = expandTilde(path);
  if (!full.empty() && full[0] == '/') return std::nullopt;
  return fail("source folder",
              path + (served ? " (SORV_SOURCE_FOLDER)" : "") + " is not a full path",
              "name it from / or ~/");
}

namespace {

SetupCheckResult checkSource(const Setup& setup) {
  const char* name = "source folder";
  if (!setup.source)
    return fail(name, "none is set",
                "set prefLocalSourceUploadFolder in your settings file, or SORV_SOURCE_FOLDER "
                "in ~/.config/sorv-uploader.env for the service");
  const std::string& path = *setup.source;
  if (auto bad = sourceFolderFormProblem(path, setup.sourceServed)) return *bad;
  std::string from = setup.sourceServed ? " (SORV_SOURCE_FOLDER)" : "";
  if (!exists(path))
    return fail(name, path + from + " does not exist", "make it: mkdir -p " + quoted(path));
  if (!isFolder(path)) return fail(name, path + from + " is not a folder", "name a folder");
  if (::access(path.c_str(), R_OK | W_OK | X_OK) != 0)
    return fail(name, path + from + " cannot be read and written by this user",
                "give this user read and write access to it, as photos are moved out of it");
  return pass(name,
              path + (setup.sourceServed ? " (SORV_SOURCE_FOLDER, served on every pass)" : ""));
}

SetupCheckResult checkMirror(const Setup& setup) {
  const char* name = "mirror folder";
  if (!setup.mirror)
    return fail(name, "none is set",
                "set prefLocalMasterMirrorSiteFolder in your settings file and import it");
  const std::string& path = *setup.mirror;
  if (!exists(path))
    return fail(name, path + " does not exist", "make it: mkdir -p " + quoted(path));
  if (!isFolder(path)) return fail(name, path + " is not a folder", "name a folder");
  if (!isWritableFolder(path))
    return fail(name, path + " is not writable by this user", "give this user write access to it");
  if (setup.source && isFolder(*setup.source)) {
    std::string mirror = canonical(path), source = canonical(*setup.source);
    if (isSameOrInside(mirror, source) || isSameOrInside(source, mirror))
      return fail(name, path + " is, lies inside or holds the source folder " + *setup.source,
                  "keep the mirror and the source folders apart");
  }
  return pass(name, path + " is writable");
}

SetupCheckResult checkProblemFolder(const Setup& setup) {
  const char* name = "problem folder";
  if (!setup.problem)
    return fail(name, "none, as no mirror folder is set", "set the mirror folder");
  const std::string& path = *setup.problem;
  std::string parent = deletingLastPathComponent(path);
  // Failed photos put back inside the source folder would be uploaded again.
  if (setup.source && isFolder(*setup.source) &&
      isSameOrInside(canonical(parent) + "/" + lastPathComponent(path), canonical(*setup.source)))
    return fail(name, path + " lies inside the source folder " + *setup.source,
                "move the mirror folder out of the source folder");
  if (exists(path)) {
    if (!isFolder(path)) return fail(name, path + " is not a folder", "move that file away");
    if (!isWritableFolder(path))
      return fail(name, path + " is not writable by this user",
                  "give this user write access to it");
    return pass(name, path + " is writable");
  }
  if (!isFolder(parent))
    return fail(name, path + " cannot be made: " + parent + " does not exist",
                "make it: mkdir -p " + quoted(path));
  if (!isWritableFolder(parent))
    return fail(name, path + " cannot be made: " + parent + " is not writable by this user",
                "make it: mkdir " + quoted(path) +
                    " (as a user who may write there), and give "
                    "this user write access to it");
  return pass(name, path + " will be made when a photo first fails");
}

SetupCheckResult checkSiteAddress(const Setup& setup) {
  const char* name = "site address";
  if (!setup.url)
    return fail(name, *setup.urlProblem,
                "set the site's https:// address as prefVyrURL in your settings file");
  const std::string& url = *setup.url;
  if (url.size() > 8 && strncasecmp(url.c_str(), "https://", 8) == 0)
    return pass(name, url + " (encrypted)");
  if (sendsInClearToAnotherHost(url))
    return fail(name, url + " would send the login and password unencrypted",
                "use the site's https:// address");
  return pass(name, url + " (plain http, to this computer only)");
}

SetupCheckResult checkSiteAnswers(const Setup& setup, const SetupCheckOptions& options) {
  const char* name = "site answers";
  if (!setup.url) return fail(name, "no site address to try", "set prefVyrURL first");
  auto why = options.probeSite ? options.probeSite(*setup.url, options.siteTimeoutSeconds)
                               : probeSiteConnection(*setup.url, options.siteTimeoutSeconds);
  if (why)
    return fail(name, *why,
                "check the address, the network, the proxy (https_proxy, no_proxy) and, for a "
                "site with a private certificate authority, SORV_CA_FILE");
  const char* ca = std::getenv(kCaFileVariable);
  bool tls = strncasecmp(setup.url->c_str(), "https://", 8) == 0;
  if (!tls)
    return pass(name, *setup.url +
                          " answered a HEAD request for the site's root; no login or "
                          "photo was sent");
  std::string trust = ca && *ca ? " (TLS, trusting " + std::string(ca) + ")"
                                : " (TLS, trusting the system's authorities)";
  return pass(name, "connected to " + *setup.url + trust + "; nothing was sent");
}

SetupCheckResult checkLogFolder() {
  const char* name = "log folder";
  std::string path = logFolderPath();
  std::string from =
      std::getenv("SORV_LOG_DIR") && *std::getenv("SORV_LOG_DIR") ? " (SORV_LOG_DIR)" : "";
  if (!createFolderWithParents(path) || !isFolder(path))
    return fail(name, path + from + " cannot be made",
                "make it writable for this user, or name another folder in SORV_LOG_DIR");
  if (!isWritableFolder(path))
    return fail(name, path + from + " is not writable by this user",
                "give this user write access to it, or name another folder in SORV_LOG_DIR");
  // Permissions say nothing of the space: a few KB are written, synced and removed.
  FileSystem& fs = defaultFileSystem();
  const std::string probe = path + "/.sorv-check-" + std::to_string(::getpid());
  std::unique_ptr<WritableFile> file;
  int err = fs.createFile(probe, 0600, &file);
  if (err == 0) {
    err = file->append(std::string(8 * 1024, 'x'));
    if (err == 0) err = file->sync();
    if (int closed = file->close(); err == 0) err = closed;
    fs.unlink(probe);
  }
  if (err != 0)
    return fail(name, path + from + " cannot be written: " + std::strerror(err),
                "free space on its file system, or name another folder in SORV_LOG_DIR");
  return pass(name, path + from + " is writable");
}

// The command name of a process, from /proc; empty when unknown.
std::string processName(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  std::getline(in, name);
  return name.substr(0, 64);
}

SetupCheckResult checkClaim(const Setup& setup) {
  const char* name = "source folder free";
  if (!setup.source || !isFolder(*setup.source))
    return fail(name, "not tried: there is no source folder", "see the source folder line");
  SourceFolderClaim claim;
  pid_t holder = 0;
  std::string err;
  switch (claim.claim(*setup.source, &holder, &err)) {
    case SourceFolderClaim::Result::Claimed:
      claim.release();
      return pass(name, "no other agent serves " + *setup.source);
    case SourceFolderClaim::Result::HeldElsewhere: {
      std::string who = "another agent";
      if (holder > 0) {
        std::string comm = processName(holder);
        who = "process " + std::to_string(holder) + (comm.empty() ? "" : " (" + comm + ")");
      }
      return fail(name, *setup.source + " is served by " + who,
                  "stop that agent (systemctl --user stop sorv-uploader, or sorvctl quit) or "
                  "serve another folder; while this user's service runs this is expected");
    }
    case SourceFolderClaim::Result::Failed:
      break;
  }
  return fail(name, "could not claim " + *setup.source + ": " + err,
              "give this user access to the folder");
}

}  // namespace

std::vector<SetupCheckResult> runSetupChecks(const SetupCheckOptions& options) {
  Setup setup = readSetup();
  return {checkSettings(setup),      checkSource(setup),      checkMirror(setup),
          checkProblemFolder(setup), checkSiteAddress(setup), checkSiteAnswers(setup, options),
          checkLogFolder(),          checkClaim(setup)};
}

std::string setupCheckLine(const SetupCheckResult& r) {
  std::string line = std::string(r.passed ? "PASS" : "FAIL") + "  " + r.name + ": " + r.detail;
  if (r.passed || r.fix.empty()) return line;
  while (!line.empty() && line.back() == '.') line.pop_back();
  return line + ". Fix: " + r.fix;
  return line;
}

int runSetupCheckCommand(std::FILE* out) {
  // The folder a service serves, taken from its environment as the agent takes it.
  if (const char* served = std::getenv("SORV_SOURCE_FOLDER"); served && *served)
    Preferences::setServedSourceFolder(std::string(served));
  std::vector<SetupCheckResult> results = runSetupChecks();
  std::size_t failed = 0;
  for (const auto& r : results) {
    std::fprintf(out, "%s\n", setupCheckLine(r).c_str());
    if (!r.passed) ++failed;
  }
  if (failed == 0)
    std::fprintf(out, "All %zu checks passed.\n", results.size());
  else
    std::fprintf(out, "%zu of %zu checks failed.\n", failed, results.size());
  std::fflush(out);
  return failed == 0 ? 0 : 1;
}

}  // namespace sorv
