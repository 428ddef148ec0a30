// The user-interface tests' world: one QApplication on Qt's offscreen platform for the whole
// run, the Qt run loop as main run loop, and a temporary home for defaults, logs and the
// bundle's resources (the shipped strings files are copied into it).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/Value.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "ui/QtRunLoop.h"

namespace sorv::test {

class UiHarness {
 public:
  UiHarness();
  ~UiHarness();
  std::string resources() const { return dir.sub("Sorv-FTPUploader.app/Contents/Resources"); }
  void setPref(const std::string& key, const Value& value);
  // Processes GUI events until cond holds; false after capSeconds.
  static bool pumpUntil(const std::function<bool()>& cond, double capSeconds = 20);
  // Processes the events posted so far.
  static void pump();

  TempDir dir;
  QtRunLoop loop;
  std::optional<ScopedEnv> env;  // with the Qt run loop, from construction to destruction
};

}  // namespace sorv::test
