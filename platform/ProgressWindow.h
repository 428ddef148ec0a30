// The small progress windows of maintenance work (order checks, deleting old photos and empty
// folders): a title, two text lines and an activity bar. Worker threads call these from any
// thread; an implementation carries the change out on the main thread and waits for it only
// when asked to. Without a display, the lines go to the console.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sorv {

class myProgressWindowController {
 public:
  virtual ~myProgressWindowController() = default;
  virtual void showWindow() = 0;
  virtual void ibUpdateLine1TextField(const std::string& text, bool doWait) = 0;
  virtual void ibUpdateLine2TextField(const std::string& text, bool doWait) = 0;
  virtual void ibUpdateProgressBar(const std::string& yesOrNo) = 0;  // "YES" (any case) starts
  virtual void ibSetWindowTitle(const std::string& title) = 0;
  virtual void close() = 0;
};

// Writes each line it is given to the console; the agent's windows without a display.
class ConsoleProgressWindow : public myProgressWindowController {
 public:
  void showWindow() override {}
  void ibUpdateLine1TextField(const std::string& text, bool doWait) override;
  void ibUpdateLine2TextField(const std::string& text, bool doWait) override;
  void ibUpdateProgressBar(const std::string&) override {}
  void ibSetWindowTitle(const std::string& title) override;
  void close() override {}
  std::string line1() const;
  std::string line2() const;

 private:
  mutable std::mutex mutex_;
  std::string title_, line1_, line2_;
};

// Makes the window loaded from the window resource `resource` ("maintenanceWindow"), or
// nullptr when it cannot be made (the caller then logs and works without a window).
using ProgressWindowFactory =
    std::function<std::unique_ptr<myProgressWindowController>(const std::string& resource)>;

// currentEnv().newProgressWindow(resource) (platform/Env.h): console windows unless the user
// interface installed an Env with its own.
std::unique_ptr<myProgressWindowController> makeProgressWindow(const std::string& resource);

// The text logged when a progress window cannot be made.
inline constexpr const char* kNoProgressWindowLog = "UNABLE to create _newMaintProgressWindow.....";

}  // namespace sorv
