#include "ui/ProgressWindows.h"

#include <strings.h>

#include <QLabel>

#include "app/AppController.h"
#include "platform/Console.h"
#include "platform/RunLoop.h"
#include "ui/Tags.h"
#include "ui_maintenanceWindow.h"

namespace sorv {

namespace {
// Runs fn on the GUI thread, waiting for it when asked.
void onGui(bool doWait, std::function<void()> fn) {
  if (doWait)
    mainRunLoop().postAndWait(std::move(fn));
  else
    mainRunLoop().post(std::move(fn));
}
}  // namespace

QtProgressWindowController::QtProgressWindowController(QWidget* window, bool owned)
    : window_(window), owned_(owned) {}

QtProgressWindowController::~QtProgressWindowController() {
  if (!owned_) return;
  QPointer<QWidget> window = window_;
  onGui(false, [window] { delete window.data(); });
}

void QtProgressWindowController::awakeFromNib() const {
  if (!ibUtilProgressBar)
    NSLog("Inside %s => %s... ibUtilProgressBar is NIL???", "myProgressWindowController",
          "awakeFromNib");
  if (!ibUtilFunctionName)
    NSLog("Inside %s => %s... ibUtilFunctionName is NIL???", "myProgressWindowController",
          "awakeFromNib");
  if (!ibUtilStatus)
    NSLog("Inside %s => %s... ibUtilStatus is NIL???", "myProgressWindowController",
          "awakeFromNib");
}

void QtProgressWindowController::showWindow() {
  QPointer<QWidget> window = window_;
  onGui(false, [window] {
    if (!window) return;
    window->show();
    window->raise();
  });
}

void QtProgressWindowController::close() {
  QPointer<QWidget> window = window_;
  onGui(false, [window] {
    if (window) window->close();
  });
}

void QtProgressWindowController::ibUpdateNSTextField(QLabel* field, const std::string& text,
                                                     bool doWait, bool isError) {
  if (!field) {
    NSLog("Inside %s => %s... NIL NSTextField....", "myProgressWindowController",
          "ibUpdateNSTextField:withString:doWait:isError:");
    return;
  }
  QPointer<QLabel> guard(field);
  QString sheet = isError ? QStringLiteral("color: red;") : QStringLiteral("color: black;");
  QString value = QString::fromStdString(text);
  // Colour, text and redraw, in this order; each waits when asked.
  onGui(doWait, [guard, sheet] {
    if (guard) guard->setStyleSheet(sheet);
  });
  onGui(doWait, [guard, value] {
    if (guard) guard->setText(value);
  });
  onGui(doWait, [guard] {
    if (guard) guard->update();
  });
}

void QtProgressWindowController::ibUpdateLine1TextField(const std::string& text, bool doWait) {
  ibUpdateNSTextField(ibUtilFunctionName, text, doWait);
}

void QtProgressWindowController::ibUpdateLine2TextField(const std::string& text, bool doWait) {
  ibUpdateNSTextField(ibUtilStatus, text, doWait);
}

void QtProgressWindowController::ibUpdateProgressBar(const std::string& yesOrNo) {
  QPointer<QProgressBar> bar = ibUtilProgressBar;
  bool animate = strcasecmp(yesOrNo.c_str(), "YES") == 0;
  onGui(false, [bar, animate] {
    if (!bar) return;
    bar->setRange(0, 0);  // indeterminate: Qt animates a busy bar while it is shown
    bar->setVisible(animate);
    bar->update();
  });
}

void QtProgressWindowController::ibSetWindowTitle(const std::string& title) {
  QPointer<QWidget> window = window_;
  if (!window_) return;
  QString text = QString::fromStdString(title);
  onGui(false, [window, text] {
    if (window) window->setWindowTitle(text);
  });
}

maintenanceWindowController::maintenanceWindowController()
    : QtProgressWindowController(nullptr, true) {
  mainRunLoop().postAndWait([this] {
    auto* window = new QWidget(nullptr, Qt::Window);
    Ui::maintenanceWindow ui;
    ui.setupUi(window);
    window_ = window;
    ibUtilFunctionName = ui.ibUtilFunctionName;
    ibUtilStatus = ui.ibUtilStatus;
    ibUtilProgressBar = ui.ibUtilProgressBar;
  });
  awakeFromNib();
}

std::unique_ptr<myProgressWindowController> makeQtProgressWindow(const std::string& resource) {
  if (resource != "maintenanceWindow") return nullptr;
  return std::make_unique<maintenanceWindowController>();
}

// ---- The upload window controller

uploadWindowController::uploadWindowController(QWidget* window, const MainWindowOutlets& o)
    : QtProgressWindowController(window, false) {
  buildTextLabelDictionary();  // no outlet set yet, as when the controller is made
  ibUtilProgressBar = o.ibProgressBar;
  outlets_ = {{"ibFileNameField", o.ibFileNameField},
              {"ibUploadFileStatusField", o.ibUploadFileStatusField},
              {"ibFTPCallbackStatusField", o.ibFTPCallbackStatusField},
              {"ibLoginName", o.ibLoginName},
              {"ibUploadMainPath", o.ibUploadMainPath},
              {"ibSourceFolderPath", o.ibSourceFolderPath},
              {"ibImageView", o.ibImageView},
              {"ibVersion", o.ibVersion},
              {"ibCopyright", o.ibCopyright},
              {"ibMacOSVersion", o.ibMacOSVersion}};
}

void uploadWindowController::buildTextLabelDictionary() {
  _myTextLabelDictionary.clear();
  const char* names[] = {
      "ibUtilStatus", "ibFileNameField",  "ibUploadFileStatusField", "ibFTPCallbackStatusField",
      "ibLoginName",  "ibUploadMainPath", "ibSourceFolderPath",      "ibImageView",
      "ibVersion",    "ibCopyright",      "ibMacOSVersion",          "ibUtilFunctionName"};
  for (const char* name : names) {
    QWidget* widget = nullptr;
    if (std::string(name) == "ibUtilStatus")
      widget = ibUtilStatus;
    else if (std::string(name) == "ibUtilFunctionName")
      widget = ibUtilFunctionName;
    else if (auto it = outlets_.find(name); it != outlets_.end())
      widget = it->second;
    if (widget) _myTextLabelDictionary[name] = widget;
  }
}

void uploadWindowController::ibUpdateTextField(const std::string& text, const std::string& label,
                                               bool doWait) {
  if (label.empty()) return;
  auto it = _myTextLabelDictionary.find(label);
  if (it == _myTextLabelDictionary.end() || !it->second) {
    NSLog("Unable to Find the Object for [%s]", label.c_str());
    return;
  }
  // A label with a picture (the preview) is not a text field.
  auto* field = qobject_cast<QLabel*>(it->second.data());
  if (!field || label == "ibImageView") {
    NSLog("Inside %s => %s... NOT [%s]!!!!", "uploadWindowController",
          "ibUpdateTextField:forLabel:doWait:", label.c_str());
    return;
  }
  ibUpdateNSTextField(field, text, doWait);
}

void uploadWindowController::windowDidLoad() {
  buildTextLabelDictionary();
  std::string version = "?Unknown App Version?", copyright = "Unknown Copyright?",
              system = "?Unknown OSVersion?";
  if (appDelegate_) {
    version = appDelegate_->getAppVersionString();
    copyright = appDelegate_->getCopyrightString();
    system = appDelegate_->getMacOsVersionString();
  }
  ibUpdateTextField("App Vers: v" + version, "ibVersion", true);
  ibUpdateTextField("Mac OS Vers: " + system, "ibMacOSVersion", true);
  ibUpdateTextField(copyright, "ibCopyright", true);
}

void uploadWindowController::ibUserClickedOnSynchronize(AppControl* sender) {
  if (appDelegate_) appDelegate_->ibUserClickedOnSynchronize(sender);
}
void uploadWindowController::ibClickedOnOpenPref(AppControl* sender) {
  if (appDelegate_ && openPrefAction) openPrefAction(sender);
}
void uploadWindowController::ibClickedOnHalt(AppControl* sender) {
  if (appDelegate_) appDelegate_->ibClickedOnHalt(sender);
}
void uploadWindowController::ibClickedOnQuit(AppControl* sender) {
  if (appDelegate_) appDelegate_->ibClickedOnQuit(sender);
}

}  // namespace sorv
