// Binds the widgets of a window to the defaults store: every widget below the root with a
// "prefKey" property shows that key and writes its edits through to the store at once. A
// write from anywhere else (a preference file, a remote command, another thread) shows on the
// GUI thread. Line edits, check boxes, spin boxes and, read-only, labels (through the
// widget's "transformer" property; the tool tip shows the full value).
#pragma once

#include <QObject>
#include <functional>
#include <map>
#include <string>

class QWidget;

namespace sorv {

class PrefBindings : public QObject {
 public:
  // GUI thread.
  explicit PrefBindings(QWidget* root);
  ~PrefBindings() override;
  PrefBindings(const PrefBindings&) = delete;
  PrefBindings& operator=(const PrefBindings&) = delete;

  // Calls fn(key) on the GUI thread after each write of key, after the bound widgets show it.
  void setKeyObserver(std::function<void(const std::string& key)> fn) { observer_ = fn; }
  // Shows the stored value of key in its widgets (GUI thread).
  void refresh(const std::string& key);

 private:
  void bind(QWidget* widget, const std::string& key);

  std::multimap<std::string, QWidget*> widgets_;
  std::function<void(const std::string&)> observer_;
  int storeObserver_ = 0;
  bool refreshing_ = false;
};

}  // namespace sorv
