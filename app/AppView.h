// What the upload cycle needs of the main window. The controller decides what to show; the
// view only carries it out. Every method that changes the display is called on the main
// thread (the controller hands updates over); the queries may be called from any thread.
#pragma once

#include <string>

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

class AppView {
 public:
  virtual ~AppView() = default;

  // True when the field exists and its window is visible; other updates are skipped.
  virtual bool isFieldShown(AppField field) const = 0;
  virtual void setFieldText(AppField field, const std::string& text, bool isError) = 0;
  virtual void setFieldToolTip(AppField field, const std::string& text) = 0;
  // Called on the updating thread when an update was skipped because the field is not shown.
  virtual void fieldUpdateSkipped(AppField /*field*/, const std::string& /*text*/,
                                  bool /*isError*/) {}

  // The indeterminate activity bar: animating and shown, or stopped and hidden.
  virtual bool hasProgressBar() const = 0;
  virtual void setProgressBarAnimating(bool animating) = 0;

  // The pause/resume button, or nullptr when the window has none. Owned by the view.
  virtual AppControl* pauseResumeButton() = 0;

  // The preview image view.
  virtual bool hasImageView() const = 0;
  virtual void showPreviewImage(const std::string& path) = 0;

  // The upload progress panel (the main window), and its control tagged `tag` (nullptr when
  // missing).
  virtual bool hasProgressPanel() const = 0;
  virtual bool isProgressPanelVisible() const = 0;
  virtual void bringProgressPanelToFront() = 0;
  virtual AppControl* progressPanelControl(int tag) = 0;

  // The login panel: closed after a valid save (a sheet ends with return code 1).
  virtual bool isLoginPanelVisible() const = 0;
  virtual void closeLoginPanel() = 0;

  // Opens the preferences (after a pause for them completed).
  virtual void openPreferences(AppControl* sender) = 0;

  // The main window's version field, or nullptr.
  virtual VersionField* versionField() { return nullptr; }

  // The system beep.
  virtual void beep() = 0;
  // Asks the application to terminate now (the quit sequence follows on the main thread).
  virtual void terminate() = 0;
};

}  // namespace sorv
