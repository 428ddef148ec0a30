// Captures what is written to a file descriptor (2 for standard error, 1 for standard output)
// while the object lives, by pointing the descriptor at a temporary file.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

namespace sorv::test {

class CapturedOutput {
 public:
  explicit CapturedOutput(int fd) : fd_(fd) {
    flushStdio();
    char name[] = "/tmp/sorvcapture.XXXXXX";
    tmp_ = mkstemp(name);
    if (tmp_ >= 0) unlink(name);
    saved_ = dup(fd_);
    if (tmp_ >= 0) dup2(tmp_, fd_);
  }
  ~CapturedOutput() { restore(); }
  CapturedOutput(const CapturedOutput&) = delete;
  CapturedOutput& operator=(const CapturedOutput&) = delete;

  // Stops capturing (once) and gives everything written meanwhile.
  std::string text() {
    restore();
    return text_;
  }

 private:
  static void flushStdio() {
    fflush(stdout);
    fflush(stderr);
  }
  void restore() {
    if (saved_ < 0) return;
    flushStdio();
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
    if (tmp_ < 0) return;
    lseek(tmp_, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(tmp_, buf, sizeof buf)) > 0) text_.append(buf, static_cast<size_t>(n));
    close(tmp_);
    tmp_ = -1;
  }

  int fd_;
  int saved_ = -1;
  int tmp_ = -1;
  std::string text_;
};

}  // namespace sorv::test
