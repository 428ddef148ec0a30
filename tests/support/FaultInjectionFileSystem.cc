#include "tests/support/FaultInjectionFileSystem.h"

#include <errno.h>
#include <unistd.h>

#include "platform/Paths.h"

namespace sorv::test {
namespace {

using Op = FaultInjectionFileSystem::Op;

std::string folderOf(const std::string& path) {
  std::string folder = deletingLastPathComponent(path);
  return folder.empty() ? "." : folder;
}

class FaultReadableFile : public ReadableFile {
 public:
  FaultReadableFile(FaultInjectionFileSystem& fs, std::unique_ptr<ReadableFile> inner)
      : fs_(fs), inner_(std::move(inner)) {}
  int read(char* buf, std::size_t n, std::size_t* got) override {
    if (int rc = fs_.injected(Op::Read)) return rc;
    return inner_->read(buf, n, got);
  }

 private:
  FaultInjectionFileSystem& fs_;
  std::unique_ptr<ReadableFile> inner_;
};

class FaultWritableFile : public WritableFile {
 public:
  FaultWritableFile(FaultInjectionFileSystem& fs, std::string path,
                    std::unique_ptr<WritableFile> inner)
      : fs_(fs), path_(std::move(path)), inner_(std::move(inner)) {}
  int append(std::string_view data) override {
    if (int rc = fs_.injected(Op::Append)) return rc;
    int rc = inner_->append(data);
    if (rc == 0) fs_.noteWritten(path_, data.size());
    return rc;
  }
  int sync() override {
    if (int rc = fs_.injected(Op::SyncFile)) return rc;
    int rc = inner_->sync();
    if (rc == 0) fs_.noteSynced(path_);
    return rc;
  }
  int close() override {
    if (int rc = fs_.injected(Op::Close)) {
      inner_->close();  // the descriptor goes whatever the result
      return rc;
    }
    return inner_->close();
  }

 private:
  FaultInjectionFileSystem& fs_;
  std::string path_;
  std::unique_ptr<WritableFile> inner_;
};

}  // namespace

FaultInjectionFileSystem::FaultInjectionFileSystem(FileSystem& target) : target_(target) {}

void FaultInjectionFileSystem::failNth(Op op, int nth, int err) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_[op].emplace_back(counts_[op] + nth, err);
}

void FaultInjectionFileSystem::dieAfter(int calls) {
  std::lock_guard<std::mutex> lock(mutex_);
  dieAt_ = total_ + calls;
}

int FaultInjectionFileSystem::callCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

int FaultInjectionFileSystem::callCount(Op op) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = counts_.find(op);
  return it == counts_.end() ? 0 : it->second;
}

int FaultInjectionFileSystem::injected(Op op) {
  std::lock_guard<std::mutex> lock(mutex_);
  int call = ++counts_[op];
  ++total_;
  if (dieAt_ >= 0 && total_ > dieAt_) return EIO;
  for (const auto& [nth, err] : failures_[op]) {
    if (nth == call) return err;
  }
  return 0;
}

void FaultInjectionFileSystem::noteWritten(const std::string& path, std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path].written += bytes;
}

void FaultInjectionFileSystem::noteSynced(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Tracked& t = files_[path];
  t.synced = t.written;
}

void FaultInjectionFileSystem::dropUnsyncedData() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Renames whose destination folder was not synced have not happened.
  for (auto it = renames_.rbegin(); it != renames_.rend(); ++it) {
    FileInfo info;
    if (target_.lstat(it->from, &info) == 0 || target_.lstat(it->to, &info) != 0) continue;
    target_.rename(it->to, it->from, false);
    auto tracked = files_.find(it->to);
    if (tracked != files_.end()) {
      Tracked t = tracked->second;
      files_.erase(tracked);
      files_[it->from] = t;
    }
  }
  for (const auto& [path, t] : files_) {
    if (!t.entryDurable) {
      target_.unlink(path);
    } else {
      (void)::truncate(path.c_str(), static_cast<off_t>(t.synced));
    }
  }
  files_.clear();
  renames_.clear();
  failures_.clear();
  dieAt_ = -1;
}

int FaultInjectionFileSystem::stat(const std::string& path, FileInfo* info) {
  if (int rc = injected(Op::Stat)) return rc;
  return target_.stat(path, info);
}

int FaultInjectionFileSystem::lstat(const std::string& path, FileInfo* info) {
  if (int rc = injected(Op::Lstat)) return rc;
  return target_.lstat(path, info);
}

int FaultInjectionFileSystem::makeDirectory(const std::string& path, std::uint32_t mode) {
  if (int rc = injected(Op::MakeDirectory)) return rc;
  return target_.makeDirectory(path, mode);
}

int FaultInjectionFileSystem::rename(const std::string& from, const std::string& to, bool replace) {
  if (int rc = injected(Op::Rename)) return rc;
  int rc = target_.rename(from, to, replace);
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(mutex_);
  auto tracked = files_.find(from);
  if (tracked != files_.end()) {
    Tracked t = tracked->second;
    files_.erase(tracked);
    files_[to] = t;
  }
  renames_.push_back({from, to});
  return 0;
}

int FaultInjectionFileSystem::link(const std::string& from, const std::string& to) {
  if (int rc = injected(Op::Link)) return rc;
  return target_.link(from, to);
}

int FaultInjectionFileSystem::untracked(const std::string& path, int rc) {
  if (rc == 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_.erase(path);
  }
  return rc;
}

int FaultInjectionFileSystem::unlink(const std::string& path) {
  if (int rc = injected(Op::Unlink)) return rc;
  return untracked(path, target_.unlink(path));
}

int FaultInjectionFileSystem::removeTree(const std::string& path) {
  if (int rc = injected(Op::RemoveTree)) return rc;
  return untracked(path, target_.removeTree(path));
}

int FaultInjectionFileSystem::setAttributes(const std::string& path, std::uint32_t mode,
                                            std::int64_t atimeNs, std::int64_t mtimeNs) {
  if (int rc = injected(Op::SetAttributes)) return rc;
  return target_.setAttributes(path, mode, atimeNs, mtimeNs);
}

int FaultInjectionFileSystem::openForRead(const std::string& path,
                                          std::unique_ptr<ReadableFile>* file) {
  if (int rc = injected(Op::OpenForRead)) return rc;
  std::unique_ptr<ReadableFile> inner;
  if (int rc = target_.openForRead(path, &inner)) return rc;
  *file = std::make_unique<FaultReadableFile>(*this, std::move(inner));
  return 0;
}

int FaultInjectionFileSystem::createFile(const std::string& path, std::uint32_t mode,
                                         std::unique_ptr<WritableFile>* file) {
  if (int rc = injected(Op::CreateFile)) return rc;
  std::unique_ptr<WritableFile> inner;
  if (int rc = target_.createFile(path, mode, &inner)) return rc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = Tracked{};
  }
  *file = std::make_unique<FaultWritableFile>(*this, path, std::move(inner));
  return 0;
}

int FaultInjectionFileSystem::syncDirectory(const std::string& path) {
  if (int rc = injected(Op::SyncDirectory)) return rc;
  int rc = target_.syncDirectory(path);
  if (rc != 0) return rc;
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [name, t] : files_) {
    if (folderOf(name) == path) t.entryDurable = true;
  }
  std::erase_if(renames_, [&](const PendingRename& r) { return folderOf(r.to) == path; });
  return 0;
}

int FaultInjectionFileSystem::listDirectory(const std::string& path,
                                            std::vector<std::string>* names, std::size_t maxNames) {
  if (int rc = injected(Op::ListDirectory)) return rc;
  return target_.listDirectory(path, names, maxNames);
}

int FaultInjectionFileSystem::changeMode(const std::string& path, std::uint32_t mode) {
  if (int rc = injected(Op::ChangeMode)) return rc;
  return target_.changeMode(path, mode);
}

int FaultInjectionFileSystem::checkRemovalAllowed(int folderFd, const std::string& name) {
  if (int rc = injected(Op::CheckRemovalAllowed)) return rc;
  return target_.checkRemovalAllowed(folderFd, name);
}

int FaultInjectionFileSystem::openAppending(const std::string& path, std::uint32_t mode, int* fd) {
  if (int rc = injected(Op::OpenAppending)) return rc;
  return target_.openAppending(path, mode, fd);
}

int FaultInjectionFileSystem::openFolder(const std::string& path, int* fd) {
  if (int rc = injected(Op::OpenFolder)) return rc;
  return target_.openFolder(path, fd);
}

int FaultInjectionFileSystem::openFolderAt(int folderFd, const std::string& name, int* fd) {
  if (int rc = injected(Op::OpenFolderAt)) return rc;
  return target_.openFolderAt(folderFd, name, fd);
}

int FaultInjectionFileSystem::openFileAt(int folderFd, const std::string& name, int* fd) {
  if (int rc = injected(Op::OpenFileAt)) return rc;
  return target_.openFileAt(folderFd, name, fd);
}

int FaultInjectionFileSystem::closeDescriptor(int fd) {
  int rc = injected(Op::CloseDescriptor);
  int closed = target_.closeDescriptor(fd);
  return rc ? rc : closed;
}

int FaultInjectionFileSystem::statDescriptor(int fd, FileInfo* info) {
  if (int rc = injected(Op::StatDescriptor)) return rc;
  return target_.statDescriptor(fd, info);
}

int FaultInjectionFileSystem::statAt(int folderFd, const std::string& name, FileInfo* info) {
  if (int rc = injected(Op::StatAt)) return rc;
  return target_.statAt(folderFd, name, info);
}

int FaultInjectionFileSystem::unlinkAt(int folderFd, const std::string& name, bool folder) {
  if (int rc = injected(Op::UnlinkAt)) return rc;
  return target_.unlinkAt(folderFd, name, folder);
}

int FaultInjectionFileSystem::listFolder(int folderFd, std::vector<std::string>* names,
                                         std::size_t maxNames) {
  if (int rc = injected(Op::ListFolder)) return rc;
  return target_.listFolder(folderFd, names, maxNames);
}

}  // namespace sorv::test
