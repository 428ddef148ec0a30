#include "app/MetricsFile.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/MessageLog.h"
#include "platform/Clock.h"
#include "platform/fs/AtomicWrite.h"

namespace sorv {

namespace {

constexpr std::size_t kMaxPathBytes = 4095;

void addMetric(std::string* out, const char* name, const char* type, const char* help) {
  *out += "# HELP ";
  *out += name;
  *out += ' ';
  *out += help;
  *out += "\n# TYPE ";
  *out += name;
  *out += ' ';
  *out += type;
  *out += '\n';
}

void addSample(std::string* out, const char* name, const char* labels, double value) {
  char line[256];
  // Whole numbers as integers; the others with millisecond precision.
  if (value == static_cast<double>(static_cast<std::int64_t>(value)))
    std::snprintf(line, sizeof line, "%s%s %" PRId64 "\n", name, labels,
                  static_cast<std::int64_t>(value));
  else
    std::snprintf(line, sizeof line, "%s%s %.3f\n", name, labels, value);
  *out += line;
}

void addGauge(std::string* out, const char* name, const char* help, double value) {
  addMetric(out, name, "gauge", help);
  addSample(out, name, "", value);
}

}  // namespace

std::string metricsText(const CycleStatus& s, double writtenAt) {
  std::string out;
  addMetric(&out, "sorv_uploads_total", "counter",
            "Photos the upload cycle finished since the agent started, by outcome: ok "
            "(uploaded), problem (moved to the problem folder), retry (left for a later pass).");
  addSample(&out, "sorv_uploads_total", "{result=\"ok\"}", static_cast<double>(s.outcomesOk));
  addSample(&out, "sorv_uploads_total", "{result=\"problem\"}",
            static_cast<double>(s.outcomesProblem));
  addSample(&out, "sorv_uploads_total", "{result=\"retry\"}", static_cast<double>(s.outcomesRetry));
  addMetric(&out, "sorv_upload_bytes_total", "counter",
            "Bytes of photos and movies the site accepted since the agent started.");
  addSample(&out, "sorv_upload_bytes_total", "", static_cast<double>(s.bytesUploaded));
  addGauge(&out, "sorv_waiting_photos", "Photos ready in the source folder, held ones included.",
           static_cast<double>(s.waiting));
  addGauge(&out, "sorv_held_back_photos", "Waiting photos passed over until their retry wait ends.",
           static_cast<double>(s.heldBack));
  addGauge(&out, "sorv_oldest_waiting_photo_age_seconds",
           "Seconds since the oldest waiting photo was first seen; 0 when none waits.",
           s.oldestWaitingSeconds.value_or(0));
  addGauge(&out, "sorv_last_success_timestamp_seconds",
           "When the last photo was uploaded, in seconds since 1970; 0 before the first.",
           s.lastSuccessTime.value_or(0));
  addGauge(&out, "sorv_problem_folder_photos", "Photos now in the problem folder.",
           static_cast<double>(s.problemFolder));
  addGauge(&out, "sorv_paused", "1 while the operator has paused the upload cycle, else 0.",
           s.state == CycleState::Paused ? 1 : 0);
  addGauge(&out, "sorv_stopped_by_site", "1 while the site's reply has stopped the cycle, else 0.",
           s.state == CycleState::StoppedBySite ? 1 : 0);
  addGauge(&out, "sorv_source_folder_held",
           "1 while another process holds the source folder and the agent waits for it, else 0.",
           s.state == CycleState::HeldElsewhere ? 1 : 0);
  addGauge(&out, "sorv_metrics_written_timestamp_seconds",
           "When the agent wrote these figures, in seconds since 1970.", writtenAt);
  return out;
}

std::optional<std::string> metricsFileFromEnvironment() {
  const char* path = std::getenv("SORV_METRICS_FILE");
  if (!path || !*path || std::strlen(path) > kMaxPathBytes) return std::nullopt;
  return std::string(path);
}

MetricsFile::MetricsFile(std::string path, FileSystem& fs, std::function<CycleStatus()> status)
    : path_(std::move(path)), fs_(fs), status_(std::move(status)) {}

MetricsFile::~MetricsFile() {
  stop();
}

bool MetricsFile::write() {
  MutexLock lock(&mutex_);
  // The figures are taken under the lock, so that two writers never put older figures last.
  // The write time is read after the figures, so no age in the file runs past it.
  const CycleStatus status = status_();
  std::string text = metricsText(status, defaultClock().wallNow());
  // No fsync: the figures are current state, rewritten every few seconds, and a sync per
  // outcome would slow the drain.
  int rc = writeFileAtomically(fs_, path_, text, 0644, false);
  if (isAtomicWriteRefusal(rc)) {
    // Not a file of ours to replace (a link, a device, ...): said once per path and kind.
    if (firstRefusalOf(path_, rc))
      myNSLog("WARNING: not writing the metrics file [%s]: %s; it is left as it is", path_.c_str(),
              atomicWriteErrorText(rc).c_str());
  } else if (rc != 0 && !failing_) {
    myNSLog("Cannot write the metrics file [%s]: %s", path_.c_str(), std::strerror(rc));
  }
  if (rc == 0 && failing_) myNSLog("The metrics file [%s] is written again", path_.c_str());
  failing_ = rc != 0;
  return rc == 0;
}

void MetricsFile::start(RunLoop& loop) {
  stop();
  write();
  timer_ = loop.scheduleTimer(kRefreshSeconds, true, [this](Timer&) { write(); });
}

void MetricsFile::stop() {
  if (timer_) timer_->invalidate();
  timer_.reset();
}

}  // namespace sorv
