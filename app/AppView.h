// What the upload cycle needs of the main window. The controller decides what to show; the
// view only carries it out. Every method that changes the display is called on the main
// thread (the controller hands updates over); the queries may be called from any thread.
#pragma once

#include <string>

#include "app/CycleStatus.h"
#include "process/Process.h"

namespace sorv {

// The main window's text fields written by the cycle.
enum class AppField {
  FTPCallbackStatus,  // the status line, also used for errors in red
  UploadFileStatus,   // the item status line
  FileName,           // the current item
  LoginName,
  UploadMainPath,
  SourceFolderPath,
};

// A button (or other control) that the cycle retitles, enables or disables.
class AppControl {
 public:
  virtual ~AppControl() = default;
  virtual void setTitle(const std::string& title) = 0;
  virtual void setEnabled(bool enabled) = 0;
};

// Every method has an empty default (nothing shown, nothing done), so a view overrides only
// what it has.
class AppView {
 public:
  virtual ~AppView() = default;

  // True when the field exists and its window is visible; other updates are skipped.
  virtual bool isFieldShown(AppField /*field*/) const { return false; }
  virtual void setFieldText(AppField /*field*/, const std::string& /*text*/, bool /*isError*/) {}
  virtual void setFieldToolTip(AppField /*field*/, const std::string& /*text*/) {}
  // Called on the updating thread when an update was skipped because the field is not shown.
  virtual void fieldUpdateSkipped(AppField /*field*/, const std::string& /*text*/,
                                  bool /*isError*/) {}

  // The indeterminate activity bar: animating and shown, or stopped and hidden.
  virtual bool hasProgressBar() const { return false; }
  virtual void setProgressBarAnimating(bool /*animating*/) {}

  // The pause/resume button, or nullptr when the window has none. Owned by the view.
  virtual AppControl* pauseResumeButton() { return nullptr; }

  // The preview image view.
  virtual bool hasImageView() const { return false; }
  virtual void showPreviewImage(const std::string& /*path*/) {}

  // The upload progress panel (the main window), and its control tagged `tag` (nullptr when
  // missing).
  virtual bool hasProgressPanel() const { return false; }
  virtual bool isProgressPanelVisible() const { return false; }
  virtual void bringProgressPanelToFront() {}
  virtual AppControl* progressPanelControl(int /*tag*/) { return nullptr; }

  // The login panel: closed after a valid save (a sheet ends with return code 1).
  virtual bool isLoginPanelVisible() const { return false; }
  virtual void closeLoginPanel() {}

  // Opens the preferences (after a pause for them completed).
  virtual void openPreferences(AppControl* /*sender*/) {}

  // The main window's version field, or nullptr.
  virtual VersionField* versionField() { return nullptr; }

  // The cycle's counts (waiting, uploaded today, the problem folder): after changes, at most
  // a few times a second, and once a minute from a timer.
  virtual void showCounts(const CycleStatus& /*status*/) {}

  // The system beep.
  virtual void beep() {}
  // Asks the application to terminate now (the quit sequence follows on the main thread).
  virtual void terminate() {}
};

}  // namespace sorv
