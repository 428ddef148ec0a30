// The problem folder's reasons (problems.jsonl in the log folder) and the operator's requeue
// of its photos to the source folder.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "app/AppController.h"
#include "app/CycleFlags.h"
#include "app/ProblemFolder.h"
#include "log/MessageLog.h"
#include "logfiles/ProblemJournal.h"
#include "platform/Clock.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/fs/AtomicWrite.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"

namespace sorv {

using namespace cycle;

namespace {

constexpr std::size_t kMaxListedProblems = 10000;

std::string journalPath() {
  return appendingPathComponent(logFolderPath(), kProblemJournalName);
}

std::string textOf(const Dict& info, const char* key) {
  const Value* v = dictGet(info, key);
  if (!v) return "";
  if (const Dict* d = v->asDict()) {
    const std::string* desc = dictGetString(*d, "localizedDescription");
    return desc ? *desc : v->description();
  }
  return v->stringValue().value_or(v->description());
}

// Adds to photo's movies the one its reason names, when it lies beside it in the problem folder.
void addNamedMovie(const std::string& problemRoot, const std::optional<ProblemRecord>& record,
                   ProblemPhoto* photo) {
  if (!record || record->movie.empty() ||
      deletingLastPathComponent(record->movie) != deletingLastPathComponent(photo->path) ||
      !problemPathRefusal(problemRoot, record->movie).empty() ||
      std::find(photo->movies.begin(), photo->movies.end(), record->movie) != photo->movies.end())
    return;
  photo->movies.push_back(record->movie);
}

// Why problems.jsonl could not be written, in words.
std::string journalErrorText(int rc) {
  // The file is opened without following a link: a link in its place gives ELOOP.
  return atomicWriteErrorText(rc == ELOOP ? kRefusedLink : rc);
}

std::optional<ProblemRecord> recordOf(const std::map<std::string, ProblemRecord>& records,
                                      const std::string& path) {
  auto it = records.find(path);
  if (it == records.end()) return std::nullopt;
  return it->second;
}

}  // namespace

void AppController::recordProblem(const Dict* info, const std::string& placedAs,
                                  const std::string& movie, const std::string& reason) {
  ProblemRecord record;
  record.time = isoTimeUtc(defaultClock().wallNow());
  record.path = placedAs;
  record.movie = movie;
  record.reason = reason;
  if (info) {
    if (const Value* code = dictGet(*info, kHttpStatusCode))
      record.httpStatus = static_cast<long>(code->integerValue());
    record.siteStatus = textOf(*info, kHttpOurCustomStatus);
    record.siteMessage = textOf(*info, kHttpOurCustomMessage);
    record.transportError = textOf(*info, kHttpError);
    if (record.transportError.empty()) record.transportError = textOf(*info, kHttpOurCustomError);
  }
  FileSystem& fs = defaultFileSystem();
  const std::string file = journalPath();
  int rotation = 0;
  int rc = appendProblemRecord(fs, file, record, kProblemJournalRotateBytes, &rotation);
  if (rc == ENOENT && createFolderWithParents(logFolderPath()))
    rc = appendProblemRecord(fs, file, record, kProblemJournalRotateBytes, &rotation);
  if (rc == 0) {
    journalFailed_ = false;
  } else if (!journalFailed_.exchange(true)) {
    MessageLog::LogMessage(
        stringWithFormat("Could not write the reason for [%s] to %s: %s; the "
                         "cycle goes on without it",
                         placedAs.c_str(), file.c_str(), journalErrorText(rc).c_str())
            .c_str(),
        true);
  }
  const std::string old = file + kProblemJournalOldSuffix;
  if (rotation != 0 && firstRefusalOf(old, rotation)) {
    MessageLog::LogMessage(stringWithFormat("Could not rotate %s to %s (%s); the reasons go on "
                                            "into %s",
                                            file.c_str(), old.c_str(),
                                            journalErrorText(rotation).c_str(), file.c_str())
                               .c_str(),
                           true);
  }
}

std::vector<AppController::ProblemEntry> AppController::problemPhotos() {
  std::vector<ProblemEntry> entries;
  auto problem = Preferences::getLocalProblemUploadFolder();
  if (!problem) return entries;
  auto photos = listProblemPhotos(*problem, kMaxListedProblems);
  std::set<std::string> paths;
  for (const auto& photo : photos) paths.insert(photo.path);
  auto records = latestProblemRecords(defaultFileSystem(), journalPath(), paths);
  for (auto& photo : photos) {
    std::optional<ProblemRecord> record = recordOf(records, photo.path);
    addNamedMovie(*problem, record, &photo);
    ProblemEntry entry;
    entry.path = displayPath(photo.path);
    for (const auto& movie : photo.movies) entry.movies.push_back(displayPath(movie));
    entry.time = record && !record->time.empty() ? record->time : isoTimeUtc(photo.movedAt);
    entry.reason = displayPath(problemReasonText(record));
    if (record) {
      entry.httpStatus = record->httpStatus;
      entry.siteStatus = displayPath(record->siteStatus);
      entry.siteMessage = displayPath(record->siteMessage);
      entry.transportError = displayPath(record->transportError);
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool AppController::requeueOne(const std::string& problemRoot, const std::string& sourceRoot,
                               ProblemPhoto photo, const ProblemRecord* record, bool startPass,
                               std::string* message) {
  if (record) addNamedMovie(problemRoot, *record, &photo);
  bool moved = sorv::requeueProblemPhoto(problemRoot, sourceRoot, photo, message);
  MessageLog::LogMessage(message->c_str(), true);
  if (moved && startPass) {
    recountProblemFolder();
    resetSiteBackoff("the operator requeued photos");
    if (!gStartedUploadProcess && !gDidHaltProcess) applicationOpenFile(sourceRoot);
  }
  return moved;
}

bool AppController::requeueProblemPhoto(const std::string& path, std::string* message) {
  auto problem = Preferences::getLocalProblemUploadFolder();
  auto source = Preferences::getLocalSourceUploadFolder();
  if (!problem || !source) {
    *message = "NOT REQUEUED " + displayPath(path) + ": the folders are not set";
    return false;
  }
  // The path as the listing shows it; a name that holds "\xHH" itself is taken as it is.
  std::string bytes = path;
  if (!problemPathRefusal(*problem, path).empty()) {
    std::string decoded = pathFromDisplay(path);
    if (problemPathRefusal(*problem, decoded).empty()) bytes = decoded;
  }
  ProblemPhoto photo{bytes, {}, 0};
  if (problemPathRefusal(*problem, bytes).empty()) {
    const std::string stem = deletingPathExtension(bytes);
    for (const std::string& movie : {stem + ".mov", stem + "_muxed.mov"})
      if (movie != bytes && problemPathRefusal(*problem, movie).empty())
        photo.movies.push_back(movie);
  }
  auto records = latestProblemRecords(defaultFileSystem(), journalPath(), {photo.path});
  auto record = recordOf(records, photo.path);
  return requeueOne(*problem, *source, std::move(photo), record ? &*record : nullptr, true,
                    message);
}

int AppController::requeueAllProblemPhotos(std::vector<std::string>* lines) {
  auto problem = Preferences::getLocalProblemUploadFolder();
  auto source = Preferences::getLocalSourceUploadFolder();
  if (!problem || !source) {
    lines->push_back("NOT REQUEUED: the folders are not set");
    return 0;
  }
  int moved = 0;
  auto photos = listProblemPhotos(*problem, kMaxListedProblems);
  // The reasons are read once for all the photos, not once a photo.
  std::set<std::string> paths;
  for (const auto& photo : photos) paths.insert(photo.path);
  auto records = latestProblemRecords(defaultFileSystem(), journalPath(), paths);
  for (auto& photo : photos) {
    std::string message;
    auto record = records.find(photo.path);
    if (requeueOne(*problem, *source, std::move(photo),
                   record == records.end() ? nullptr : &record->second, false, &message))
      ++moved;
    lines->push_back(message);
  }
  if (moved > 0) {
    recountProblemFolder();
    resetSiteBackoff("the operator requeued photos");
    if (!gStartedUploadProcess && !gDidHaltProcess) applicationOpenFile(*source);
  }
  return moved;
}

}  // namespace sorv
