// One agent per source folder. Two agents on one folder would send every photo twice, so an
// agent claims the folder before it touches it: an exclusive flock on the folder itself, which
// the kernel drops when the process ends, SIGKILL included, so no claim outlives its agent.
// Where the folder's file system does not take the lock (some network shares), a lock file
// named after the folder's device and inode in the runtime folder ($XDG_RUNTIME_DIR, else
// /tmp) holds it instead.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace sorv {

class SourceFolderClaim {
 public:
  SourceFolderClaim() = default;
  ~SourceFolderClaim();  // releases the claim
  SourceFolderClaim(const SourceFolderClaim&) = delete;
  SourceFolderClaim& operator=(const SourceFolderClaim&) = delete;

  enum class Result { Claimed, HeldElsewhere, Failed };
  // Claims the folder that path names now, giving up the one held before only once the new
  // one is held. Claimed when this object holds it (also when it already did); HeldElsewhere
  // when another process, or another claim in this one, holds it (*holder: that process id,
  // or 0 when unknown); Failed when the folder cannot be opened (*err). Safe from any thread.
  Result claim(const std::string& path, pid_t* holder, std::string* err);
  void release();

 private:
  std::mutex mutex_;
  int fd_ = -1;      // the folder, locked, or holding the lock file's place
  int lockFd_ = -1;  // the lock file, when the folder itself cannot be locked
  std::uint64_t device_ = 0, inode_ = 0;
};

// The process holding an flock on the file (device, inode), from /proc/locks; 0 when unknown.
pid_t flockHolder(std::uint64_t device, std::uint64_t inode);
// The same, from the text of /proc/locks (at most its first 100,000 lines).
pid_t flockHolderIn(std::string_view locks, std::uint64_t device, std::uint64_t inode);

// Who holds a claim: an agent like this one, or some other program (a backup, a sync tool,
// an operator's `flock`) that keeps the folder from every agent while it runs.
struct ClaimHolder {
  pid_t pid = 0;        // 0 when unknown
  std::string command;  // its command name, at most 15 bytes, "" when unknown
  bool isAgent = false;
  // "process 12778 (flock)", "process 12778", or "another process" when the id is unknown.
  std::string description() const;
};
// What /proc tells of the process pid: its command name (/proc/PID/comm) and whether it runs
// this process's executable, or is named as the agent's executable is.
ClaimHolder describeClaimHolder(pid_t pid);
// A command name as /proc/PID/comm gives it (raw, up to 64 bytes read): up to its first
// newline, at most 15 bytes, control characters and bytes above 0x7e shown as '?'.
std::string commandNameFrom(std::string_view raw);

}  // namespace sorv
