#include "platform/ProgressWindow.h"

#include "platform/Console.h"

namespace sorv {

void ConsoleProgressWindow::ibUpdateLine1TextField(const std::string& text, bool) {
  std::string title;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line1_ = text;
    title = title_;
  }
  NSLog("[%s] %s", title.c_str(), text.c_str());
}

void ConsoleProgressWindow::ibUpdateLine2TextField(const std::string& text, bool) {
  std::string title;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    line2_ = text;
    title = title_;
  }
  NSLog("[%s]   %s", title.c_str(), text.c_str());
}

void ConsoleProgressWindow::ibSetWindowTitle(const std::string& title) {
  std::lock_guard<std::mutex> lock(mutex_);
  title_ = title;
}

std::string ConsoleProgressWindow::line1() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line1_;
}

std::string ConsoleProgressWindow::line2() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line2_;
}

}  // namespace sorv
