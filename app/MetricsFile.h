// The cycle's figures for Prometheus: the text exposition format, written to the file that
// SORV_METRICS_FILE names, where a node exporter's textfile collector picks it up. The file
// is replaced whole (a new file renamed over it), so a scrape never reads half of it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/CycleStatus.h"
#include "platform/Mutex.h"
#include "platform/RunLoop.h"
#include "platform/fs/FileSystem.h"

namespace sorv {

// The figures of status in the text exposition format, each metric with its HELP and TYPE;
// writtenAt (seconds since 1970) is the time of the write, so that alert rules can weigh the
// ages in the file on the kiosk's own clock.
std::string metricsText(const CycleStatus& status, double writtenAt);

// SORV_METRICS_FILE when it is set to a path of at most 4095 bytes; nullopt otherwise.
std::optional<std::string> metricsFileFromEnvironment();

class MetricsFile {
 public:
  static constexpr double kRefreshSeconds = 15;  // the longest time between two writes

  // path: the file to keep; fs: not owned, must outlive this. status: gives the figures, from
  // any thread.
  MetricsFile(std::string path, FileSystem& fs, std::function<CycleStatus()> status);
  ~MetricsFile();  // stop()
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Writes the figures now; from any thread. False when the write failed. The first failure
  // after a success is logged, with its reason; the old file stays whole.
  bool write() EXCLUDES(mutex_);
  // Writes now and then every kRefreshSeconds on loop's timer, until stop().
  void start(RunLoop& loop);
  // Ends the timer; a last write() is the caller's. Idempotent.
  void stop();

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  FileSystem& fs_;
  const std::function<CycleStatus()> status_;
  Mutex mutex_;  // one write at a time, in order
  bool failing_ GUARDED_BY(mutex_) = false;
  std::shared_ptr<Timer> timer_;  // the thread that calls start() and stop()
};

}  // namespace sorv
