// Shared set-up of the application-controller tests: a temporary home for defaults and logs,
// an EventLoop as main run loop, a fake clock, a view that records what it is shown, a
// scripted HTTP transport, and photo helpers.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/AppController.h"
#include "app/HeadlessView.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"
#include "platform/http/HttpTransport.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeHttpTransport.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace sorv::test {

// A visible main window that remembers every text it was given.
class RecordingView : public AppView {
 public:
  bool isFieldShown(AppField) const override { return true; }
  void setFieldText(AppField field, const std::string& text, bool isError) override;
  bool hasProgressBar() const override { return true; }
  void setProgressBarAnimating(bool animating) override;
  AppControl* pauseResumeButton() override { return &pauseButton; }
  void openPreferences(AppControl*) override { ++preferencesOpened; }
  void beep() override { ++beeps; }

  std::string text(AppField field) const;
  bool wasShown(AppField field, const std::string& text, bool* isError = nullptr) const;
  std::vector<std::string> history(AppField field) const;

  HeadlessControl pauseButton;
  std::atomic<int> beeps{0};
  std::atomic<int> preferencesOpened{0};
  std::atomic<bool> animating{false};

 private:
  mutable std::mutex mutex_;
  std::map<AppField, std::vector<std::pair<std::string, bool>>> texts_;
};

// The harness's transport answers "OK" ("Upload received") unless a test pushes other replies.
using ScriptedTransport = FakeHttpTransport;

// One test's world: folders, defaults, log, main loop, fake clock, view, controller.
class CycleHarness {
 public:
  // withUploads: create the HttpController (with the scripted transport, or the real one
  // when realTransport) and the thread lock, as the start-up does.
  explicit CycleHarness(bool withUploads = true, bool realTransport = false);
  ~CycleHarness();

  std::string source() const { return dir.sub("Source"); }
  std::string mirror() const { return dir.sub("Mirror"); }
  std::string problem() const { return dir.sub("Problem Folder"); }
  void setPref(const std::string& key, const Value& value);

  // Runs the main loop until cond holds (real-time cap); false on time-out.
  bool pumpUntil(const std::function<bool()>& cond, double capSeconds = 30);
  // Opens the source folder and pumps until the cycle is idle again.
  bool runPass(const std::optional<std::string>& folder = std::nullopt);
  bool isIdle() const;

  // Copies of the upload info of every upload started, in order.
  std::vector<Dict> uploads() const;
  std::string messageLog() const;

  TempDir dir;
  struct {
    FakeClock clock;
  } fake;
  EventLoop loop;
  RecordingView view;
  ScriptedTransport transport;
  // The process's Env while the harness lives: the fake clock, the loop and (unless the real
  // transport was asked for) the scripted transport.
  ScopedEnv env;
  std::unique_ptr<AppController> controller;

 private:
  mutable std::mutex mutex_;
  std::vector<Dict> uploads_;
};

// Photos with the suite's metadata block.
Dict standardMetaData();
bool writeJpegWithMeta(const std::string& path, const std::optional<Dict>& meta,
                       const std::string& exifDate = "2024:05:01 10:20:30");
bool writePngWithMeta(const std::string& path, const std::optional<Dict>& meta);
bool exists(const std::string& path);

// Of the reference site's store folder: the POSTs it saw whose image file name contains
// name, and the image file names it stored, as received.
int postsFor(const std::string& store, const std::string& name);
std::vector<std::string> storedImageNames(const std::string& store);

// Opens the source folder and runs the cycle; whenever it is idle, moves the fake clock on
// by a second (timers and held items come due) until done() or fakeSeconds have passed.
void drive(CycleHarness& h, double fakeSeconds, const std::function<bool()>& done = nullptr);

}  // namespace sorv::test
