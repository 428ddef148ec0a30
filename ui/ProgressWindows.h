// The Qt progress windows: the common controller (two lines, an activity bar, a title), the
// maintenance window loaded from "maintenanceWindow", and the upload window controller of the
// main window with its table of labels and its forwarded button actions. Every operation may
// be called from any thread; the widgets change on the GUI thread.
#pragma once

#include <QPointer>
#include <QProgressBar>
#include <QWidget>
#include <map>
#include <memory>
#include <string>

#include "platform/ProgressWindow.h"

class QLabel;

namespace sorv {

class AppController;
class AppControl;

class QtProgressWindowController : public myProgressWindowController {
 public:
  ~QtProgressWindowController() override;

  void showWindow() override;
  void ibUpdateLine1TextField(const std::string& text, bool doWait) override;
  void ibUpdateLine2TextField(const std::string& text, bool doWait) override;
  void ibUpdateProgressBar(const std::string& yesOrNo) override;
  void ibSetWindowTitle(const std::string& title) override;
  void close() override;

  // The field shows the text, red for an error, black otherwise; whether or not the window
  // is visible. doWait: the caller waits until the GUI thread has applied it.
  void ibUpdateNSTextField(QLabel* field, const std::string& text, bool doWait,
                           bool isError = false);

  void setAppDelegate(AppController* controller) { appDelegate_ = controller; }
  AppController* appDelegate() const { return appDelegate_; }
  QWidget* window() const { return window_; }

 protected:
  // window: owned (deleted on the GUI thread) when owned is true.
  QtProgressWindowController(QWidget* window, bool owned);
  // Logs each of the three outlets that is not connected.
  void awakeFromNib() const;

  QPointer<QWidget> window_;
  QPointer<QLabel> ibUtilFunctionName, ibUtilStatus;
  QPointer<QProgressBar> ibUtilProgressBar;
  AppController* appDelegate_ = nullptr;  // not owned

 private:
  bool owned_;
};

// The window of maintenance work. Make it on any thread; its widgets are made on the GUI
// thread.
class maintenanceWindowController : public QtProgressWindowController {
 public:
  maintenanceWindowController();
};

// The progress factory for the graphical mode's Env: "maintenanceWindow" gives a
// maintenanceWindowController, any other name nullptr.
std::unique_ptr<myProgressWindowController> makeQtProgressWindow(const std::string& resource);

struct MainWindowOutlets;

// The controller of the main window's widgets (not owned: the main window keeps them).
class uploadWindowController : public QtProgressWindowController {
 public:
  uploadWindowController(QWidget* window, const MainWindowOutlets& outlets);

  void buildTextLabelDictionary();
  // Shows text in the text field registered under label.
  void ibUpdateTextField(const std::string& text, const std::string& label, bool doWait);
  // Rebuilds the label table and fills in the version texts.
  void windowDidLoad();

  // Forwarded to the application controller's actions of the same names, when it is set.
  void ibUserClickedOnSynchronize(AppControl* sender);
  void ibClickedOnOpenPref(AppControl* sender);
  void ibClickedOnHalt(AppControl* sender);
  void ibClickedOnQuit(AppControl* sender);

  // For the main window: the preferences action, set by whoever owns the preferences window.
  std::function<void(AppControl*)> openPrefAction;

 private:
  std::map<std::string, QPointer<QWidget>> outlets_;  // every outlet, set or not
  std::map<std::string, QPointer<QWidget>> _myTextLabelDictionary;
};

struct MainWindowOutlets {
  QLabel *ibFileNameField = nullptr, *ibUploadFileStatusField = nullptr,
         *ibFTPCallbackStatusField = nullptr, *ibLoginName = nullptr, *ibUploadMainPath = nullptr,
         *ibSourceFolderPath = nullptr, *ibImageView = nullptr, *ibVersion = nullptr,
         *ibCopyright = nullptr, *ibMacOSVersion = nullptr;
  QProgressBar* ibProgressBar = nullptr;
};

}  // namespace sorv
