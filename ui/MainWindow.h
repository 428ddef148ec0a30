// The main window: the view the upload cycle drives (current item, status lines, activity bar,
// preview, pause/resume), its upload window controller and the preferences window.
#pragma once

#include <QThreadPool>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>

#include "app/AppView.h"
#include "ui/PrefsWindow.h"
#include "ui/ProgressWindows.h"
#include "ui/Tags.h"

namespace Ui {
class MainWindow;
}

namespace sorv {

class AppController;

class MainWindow : public AppView {
 public:
  // GUI thread. onTerminate runs when the application is asked to quit.
  explicit MainWindow(std::function<void()> onTerminate = {});
  ~MainWindow() override;

  // Connects the window to the controller (its buttons, the preferences window). Call before
  // the start-up sequence.
  void setController(AppController* controller);

  QWidget* window() const { return window_.get(); }
  PrefsWindow* prefsWindow() const { return prefs_.get(); }
  uploadWindowController* windowController() const { return upload_.get(); }
  // How many previews have been shown (tests, benchmarks).
  int previewsShown() const;

  bool isFieldShown(AppField field) const override;
  void setFieldText(AppField field, const std::string& text, bool isError) override;
  void setFieldToolTip(AppField field, const std::string& text) override;
  bool hasProgressBar() const override { return true; }
  void setProgressBarAnimating(bool animating) override;
  AppControl* pauseResumeButton() override { return pauseButton_.get(); }
  bool hasImageView() const override { return true; }
  void showPreviewImage(const std::string& path) override;
  bool hasProgressPanel() const override { return true; }
  bool isProgressPanelVisible() const override { return visible_; }
  void bringProgressPanelToFront() override;
  AppControl* progressPanelControl(int tag) override;
  bool isLoginPanelVisible() const override { return prefsVisible_; }
  void closeLoginPanel() override;
  void openPreferences(AppControl* sender) override;
  VersionField* versionField() override { return versionField_.get(); }
  void showCounts(const CycleStatus& status) override;
  void beep() override;
  void terminate() override;

 private:
  class VisibilityWatch;
  QWidget* fieldWidget(AppField field) const;
  // Runs fn now on the GUI thread, else posts it there.
  static void onGuiThread(std::function<void()> fn);

  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::MainWindow> ui_;
  std::unique_ptr<uploadWindowController> upload_;
  std::unique_ptr<PrefsWindow> prefs_;
  std::unique_ptr<QtControl> pauseButton_, prefButton_, syncButton_, quitButton_;
  std::unique_ptr<VersionField> versionField_;
  std::unique_ptr<QObject> watch_, prefsWatch_;
  std::function<void()> onTerminate_;
  AppController* controller_ = nullptr;
  // Read from worker threads; kept by the GUI thread as the windows show and hide.
  std::atomic<bool> visible_{false}, prefsVisible_{false};
  std::atomic<int> previewGeneration_{0};
  std::unique_ptr<QThreadPool> previewPool_;  // one thread, lowered priority
};

}  // namespace sorv
