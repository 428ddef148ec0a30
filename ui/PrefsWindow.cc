#include "ui/PrefsWindow.h"

#include <strings.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QThreadPool>

#include "app/AppController.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"
#include "process/Process.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"
#include "ui/Alerts.h"
#include "ui/Bindings.h"
#include "ui/PrefsSeams.h"
#include "ui/Sound.h"
#include "ui_PrefsWindow.h"

namespace sorv {

namespace {

constexpr const char* kStrings = "myLocalDictionary";

bool isFolderPath(const std::string& path) {
  return defaultFileSystem().isDirectory(path);
}

bool pathExists(const std::string& path) {
  return !path.empty() && defaultFileSystem().exists(path);
}

// The top folder of a mounted file system: its parent lies on another device (or it is its
// own parent).
bool isMountTop(const std::string& path) {
  struct stat self {
  }, parent{};
  if (::stat(path.c_str(), &self) != 0 || ::stat((path + "/..").c_str(), &parent) != 0)
    return false;
  return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

struct FolderKeys {
  const char* key;
  const char* validKey;
  const char* message;
};

FolderKeys keysOf(PrefsWindow::Folder which) {
  switch (which) {
    case PrefsWindow::Folder::Source:
      return {sPrefLocalSourceUploadFolder, sPrefIsValidLocalSourceUploadFolder,
              "Please Select Your LOCAL SOURCE (To Be Uploaded) Folder"};
    case PrefsWindow::Folder::Mirror:
      return {sPrefLocalMasterMirrorSiteFolder, sPrefIsValidLocalMasterMirrorSiteFolder,
              "Please Select Your LOCAL MIRROR Site (Upload Completed) Folder"};
    case PrefsWindow::Folder::AlternatePath:
      break;
  }
  return {sPrefVyrHiResAlternatePath1, sPrefIsValidVyrHiResAlternatePath1,
          "Please Select Your HiRes Alternate Search Path..."};
}

std::string storedText(const char* key) {
  return DefaultsStore::standard().stringForKey(key).value_or("");
}

QFileDialog* makeSheetPanel(QWidget* parent, const QString& startIn) {
  auto* panel = new QFileDialog(parent, QString(), startIn);
  panel->setOption(QFileDialog::DontUseNativeDialog);
  panel->setWindowModality(Qt::WindowModal);
  panel->setAttribute(Qt::WA_DeleteOnClose);
  return panel;
}

QString desktopFolder() {
  return QString::fromStdString(homeFolder() + "/Desktop/");
}

}  // namespace

bool isRootVolume(const std::string& path) {
  if (path.empty() || !isFolderPath(path)) return false;
  if (path[0] != '/') {
    NSLog("ODD - first item MUST always be a Forward Slash \"/\"");
    return false;
  }
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < path.size();) {
    std::size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty()) return true;
  if (strcasecmp(parts[0].c_str(), "Volumes") == 0) return parts.size() <= 2;
  return isMountTop(path);
}

PrefsWindow::PrefsWindow(AppController* controller, QWidget* mainWindow, QtControl* prefButton)
    : controller_(controller),
      mainWindow_(mainWindow),
      prefButton_(prefButton),
      panel_(new newNSPanel(mainWindow)),
      ui_(std::make_unique<Ui::PrefsWindow>()) {
  ui_->setupUi(panel_);
  bindings_ = std::make_unique<PrefBindings>(panel_);
  saveButton_ = std::make_unique<QtControl>(ui_->ibSaveAndCloseButton);
  connectActions();
  setupObservers();
  setupCodeField();
}

PrefsWindow::~PrefsWindow() {
  bindings_.reset();
  if (!mainWindow_) delete panel_;
}

QTabWidget* PrefsWindow::ibTabView() const {
  return ui_->ibTabView;
}
QWidget* PrefsWindow::ibChangeablePrefView() const {
  return ui_->ibChangeablePrefView;
}
QWidget* PrefsWindow::ibChangeablePref2View() const {
  return ui_->ibChangeablePref2View;
}
QWidget* PrefsWindow::ibChangeablePref3View() const {
  return ui_->ibChangeablePref3View;
}
QLabel* PrefsWindow::ibMainWindowLocalSourcePath() const {
  return ui_->ibMainWindowLocalSourcePath;
}
QLabel* PrefsWindow::ibMainWindowLocalMirrorSitePath() const {
  return ui_->ibMainWindowLocalMirrorSitePath;
}
QLabel* PrefsWindow::ibVyrHiResAlternatePath1() const {
  return ui_->ibVyrHiResAlternatePath1;
}
QAbstractButton* PrefsWindow::lockButton() const {
  return qobject_cast<QAbstractButton*>(viewWithTag(panel_, 98));
}

void PrefsWindow::connectActions() {
  auto* ui = ui_.get();
  QObject::connect(ui->ibLockButton, &QAbstractButton::clicked, panel_,
                   [this] { ibClickedOnLockIcon(ui_->ibLockButton); });
  QObject::connect(ui->ibTabView, &QTabWidget::currentChanged, panel_,
                   [this](int index) { tabViewWillSelect(index); });
  const std::pair<QAbstractButton*, Folder> choosers[] = {
      {ui->ibChangeSourceButton, Folder::Source},
      {ui->ibChangeMirrorButton, Folder::Mirror},
      {ui->ibChangeAltButton, Folder::AlternatePath}};
  for (auto [button, which] : choosers)
    QObject::connect(
        button, &QAbstractButton::clicked, panel_,
        [this, button = button, which = which] { ibClickedOnChangeFolder(which, button); });
  const std::pair<QAbstractButton*, const char*> reveals[] = {
      {ui->ibRevealSourceButton, sPrefLocalSourceUploadFolder},
      {ui->ibRevealMirrorButton, sPrefLocalMasterMirrorSiteFolder},
      {ui->ibRevealAltButton, sPrefVyrHiResAlternatePath1}};
  for (auto [button, key] : reveals)
    QObject::connect(button, &QAbstractButton::clicked, panel_,
                     [this, key = key] { revealItemInFinder(storedText(key)); });
  QObject::connect(ui->ibDeleteEmptyButton, &QAbstractButton::clicked, panel_,
                   [this] { ibDeleteLocalFtpFolderIfEmpty(); });
  QObject::connect(ui->ibSaveAndCloseButton, &QAbstractButton::clicked, panel_,
                   [this] { ibClickedOnSaveAndClose(); });
  QObject::connect(ui->ibLoadPrefButton, &QAbstractButton::clicked, panel_,
                   [this] { ibLoadPrefFromFile(); });
  QObject::connect(ui->ibSavePrefButton, &QAbstractButton::clicked, panel_,
                   [this] { ibSavePrefToFile(); });
  QObject::connect(panel_, &QDialog::finished, panel_, [this](int code) {
    if (panel_->displayAsSheet()) sheetDidEnd(code);
  });
  QObject::connect(ui->ibVyrURL, &QLineEdit::textEdited, panel_, [this] { setupCodeField(); });
  QObject::connect(ui->ibFuseAction, &QLineEdit::textEdited, panel_, [this] { setupCodeField(); });
}

void PrefsWindow::setupObservers() {
  // The key paths the window colours or enables by, each with the control it concerns.
  bindings_->setKeyObserver([this](const std::string& key) {
    QWidget* context = nullptr;
    if (key == sPrefLocalSourceUploadFolder || key == sPrefIsValidLocalSourceUploadFolder)
      context = ui_->ibMainWindowLocalSourcePath;
    else if (key == sPrefIsValidLocalMasterMirrorSiteFolder)
      context = ui_->ibMainWindowLocalMirrorSitePath;
    else if (key == sPrefIsValidVyrHiResAlternatePath1)
      context = ui_->ibVyrHiResAlternatePath1;
    else if (key == sPrefDoCheckOrders)
      context = ui_->ibChangeablePref3View;
    if (context) observeValueForKeyPath("values." + key, context);
    if (key == sPrefVyrFuseAction) setupCodeField();
  });
}

void PrefsWindow::setupCodeField() {
  std::string fuse = storedText(sPrefVyrFuseAction);
  bool code = strcasecmp(fuse.c_str(), "upload.bp5") == 0;
  ui_->ibCodeTextField->setVisible(code);
  ui_->ibPasswordField->setVisible(!code);
}

void PrefsWindow::applyStartupState() {
  ibClickedOnLockIcon(lockButton());
  if (auto* version = qobject_cast<QLabel*>(viewWithTag(panel_, 99))) {
    struct Field : VersionField {
      QLabel* label;
      explicit Field(QLabel* l) : label(l) {}
      int tag() const override { return 99; }
      void setStringValue(const std::string& text) override {
        label->setText(QString::fromStdString(text));
      }
    } field(version);
    fillInVersionString(&field);
  }
  // The folder displays start with the validity the store has now.
  for (const char* key :
       {sPrefIsValidLocalSourceUploadFolder, sPrefIsValidLocalMasterMirrorSiteFolder,
        sPrefIsValidVyrHiResAlternatePath1}) {
    QWidget* context = key == sPrefIsValidLocalSourceUploadFolder ? ui_->ibMainWindowLocalSourcePath
                       : key == sPrefIsValidLocalMasterMirrorSiteFolder
                           ? ui_->ibMainWindowLocalMirrorSitePath
                           : ui_->ibVyrHiResAlternatePath1;
    observeValueForKeyPath(std::string("values.") + key, context);
  }
  showServedSourceFolder();
  ibClickedOnOpenPref(nullptr);
}

void PrefsWindow::showServedSourceFolder() {
  // A service that names its folder serves that one whatever is chosen here.
  auto served = Preferences::servedSourceFolder();
  if (!served || panel_->findChild<QLabel*>("servedSourceFolderNote")) return;
  auto* note = new QLabel(
      QString::fromStdString("This agent serves " + *served +
                             " on every pass: its service names it in SORV_SOURCE_FOLDER. The "
                             "folder chosen here is served when the agent runs without it."),
      ui_->ibChangeablePref2View);
  note->setObjectName("servedSourceFolderNote");
  note->setWordWrap(true);
  if (auto* grid = qobject_cast<QGridLayout*>(ui_->ibChangeablePref2View->layout()))
    grid->addWidget(note, grid->rowCount(), 0, 1, -1);
}

// ---- Opening and closing

void PrefsWindow::ibClickedOnOpenPref(AppControl* sender) {
  bool mainVisible = mainWindow_ && mainWindow_->isVisible();
  if (controller_ && mainVisible && AppController::startedUploadProcess()) {
    auto* control = dynamic_cast<QtControl*>(sender);
    AppControl* button = control && qobject_cast<QAbstractButton*>(control->widget())
                             ? sender
                             : static_cast<AppControl*>(prefButton_);
    controller_->pauseForPreferences(button);
    return;
  }
  doHandleOpenPrefPanel(sender);
}

void PrefsWindow::doHandleOpenPrefPanel(AppControl* sender) {
  QWidget* parent = nullptr;
  auto* control = dynamic_cast<QtControl*>(sender);
  if (control && qobject_cast<QAbstractButton*>(control->widget())) {
    parent = control->widget()->window();
    control->setEnabled(true);
  } else if (sender && mainWindow_ && mainWindow_->isVisible()) {
    parent = mainWindow_;
    if (prefButton_) prefButton_->setEnabled(true);
    NSLog("ibClickedOnOpenPref CANNOT determine parentWindow???");
  }
  if (parent == panel_) parent = mainWindow_;
  ui_->ibTabView->setCurrentIndex(0);
  if (panel_->isVisible()) panel_->hide();
  if (!parent) {
    panel_->setDisplayAsSheet(false);
    panel_->setWindowModality(Qt::NonModal);
    // Beside the main window, so that both can be read.
    if (mainWindow_ && mainWindow_->isVisible())
      panel_->move(mainWindow_->frameGeometry().topRight() + QPoint(16, 0));
    panel_->show();
    panel_->raise();
    panel_->activateWindow();
    return;
  }
  panel_->setDisplayAsSheet(true);
  if (controller_) controller_->cancelRetriggerTimerOnMainThread();
  panel_->setWindowModality(Qt::WindowModal);
  panel_->open();
}

void PrefsWindow::sheetDidEnd(int) {
  panel_->hide();
  if (controller_) controller_->doHandlePauseResumeButtonAsResume(nullptr);
}

void PrefsWindow::closeLoginPanel() {
  forceLockedIcon(false);
  if (panel_->displayAsSheet())
    panel_->done(1);
  else
    panel_->close();
}

bool PrefsWindow::isVisible() const {
  return panel_->isVisible();
}

// ---- The lock

void PrefsWindow::ibClickedOnLockIcon(QAbstractButton* sender) {
  if (!sender || tagOf(sender) != 98 || !panel_) return;
  if (sender->isChecked()) {
    sender->setText(QStringLiteral("Unlocked"));
    doPlaySound("lockOpening", "aif");
    if (!ibChangeablePrefView()) return;
    viewSetEnabled(ibChangeablePrefView(), true);
    viewSetEnabled(ibChangeablePref2View(), true);
    viewSetEnabled(ibChangeablePref3View(), true);
    if (!DefaultsStore::standard().boolForKey(sPrefDoCheckOrders))
      if (QWidget* box = findSubView(ibChangeablePref3View(), QStringLiteral("nsbox1")))
        box->setEnabled(false);
  } else {
    sender->setText(QStringLiteral("Locked"));
    doPlaySound("lockClosing", "aif");
    if (!ibChangeablePrefView()) return;
    viewSetEnabled(ibChangeablePrefView(), false);
    viewSetEnabled(ibChangeablePref2View(), false);
    viewSetEnabled(ibChangeablePref3View(), false);
  }
}

void PrefsWindow::forceLockedIcon(bool unlocked) {
  QAbstractButton* lock = lockButton();
  if (!lock || lock->isChecked() == unlocked) return;
  lock->setChecked(unlocked);
  ibClickedOnLockIcon(lock);
}

// ---- Tabs and observed keys

void PrefsWindow::tabViewWillSelect(int index) {
  QWidget* page = ui_->ibTabView->widget(index);
  int identifier = page ? page->property("identifier").toInt() : 0;
  auto& store = DefaultsStore::standard();
  if (identifier == 2) {
    if (ibMainWindowLocalSourcePath())
      store.setBool(pathExists(storedText(sPrefLocalSourceUploadFolder)),
                    sPrefIsValidLocalSourceUploadFolder);
    if (ibMainWindowLocalMirrorSitePath())
      store.setBool(pathExists(storedText(sPrefLocalMasterMirrorSiteFolder)),
                    sPrefIsValidLocalMasterMirrorSiteFolder);
  } else if (identifier == 3) {
    if (ibVyrHiResAlternatePath1())
      store.setBool(pathExists(storedText(sPrefVyrHiResAlternatePath1)),
                    sPrefIsValidVyrHiResAlternatePath1);
  }
}

void PrefsWindow::observeValueForKeyPath(const std::string& keyPath, QWidget* context) {
  if (keyPath.empty() || !context) return;
  auto is = [&](const std::string& key) {
    return strcasecmp(keyPath.c_str(), ("values." + key).c_str()) == 0;
  };
  if (is(sPrefLocalSourceUploadFolder) || is(sPrefIsValidLocalSourceUploadFolder) ||
      is(sPrefIsValidLocalMasterMirrorSiteFolder) || is(sPrefIsValidVyrHiResAlternatePath1)) {
    if (!qobject_cast<QLabel*>(context) && !qobject_cast<QLineEdit*>(context)) return;
    std::string key = keyPath.substr(keyPath.rfind('.') + 1);
    setTextColor(context, DefaultsStore::standard().boolForKey(key) ? "black" : "red");
  } else if (is(sPrefDoCheckOrders)) {
    if (QWidget* box = findSubView(context, QStringLiteral("nsbox1")))
      box->setEnabled(DefaultsStore::standard().boolForKey(sPrefDoCheckOrders));
  }
}

// ---- Folders

void PrefsWindow::ibClickedOnChangeFolder(Folder which, QWidget* sender) {
  if (!sender) return;
  if (AppController::startedUploadProcess()) {
    myNSRunAlertPanel(kStrings, "NSAlertWindow_9003");
    return;
  }
  FolderKeys keys = keysOf(which);
  QFileDialog* dialog =
      makeSheetPanel(sender->window(), QString::fromStdString(storedText(keys.key)));
  dialog->setWindowTitle(QString::fromUtf8(keys.message));
  dialog->setFileMode(QFileDialog::Directory);
  dialog->setOption(QFileDialog::ShowDirsOnly);
  dialog->setOption(QFileDialog::ReadOnly, which != Folder::Mirror);
  dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
  installPanelPrompts(dialog);
  std::string key = keys.key;
  QObject::connect(dialog, &QFileDialog::finished, panel_, [this, dialog, key](int result) {
    std::vector<std::string> paths;
    for (const QString& file : dialog->selectedFiles()) paths.push_back(file.toStdString());
    openPanelDidEnd(result == QDialog::Accepted ? 1 : 0, key, paths);
  });
  dialog->open();
}

void PrefsWindow::openPanelDidEnd(int returnCode, const std::optional<std::string>& key,
                                  const std::vector<std::string>& paths) {
  if (returnCode != 1) {
    NSLog("openPanelDidEnd - the folder panel was cancelled");
    return;
  }
  if (!key) {
    NSLog("openPanelDidEnd passed NIL for contextInfo??????");
    return;
  }
  if (paths.empty()) {
    NSLog("???? However contextInfo is NIL ??????");
    return;
  }
  const std::string& path = paths.back();
  auto& store = DefaultsStore::standard();
  if (*key == sPrefVyrHiResAlternatePath1 && isRootVolume(path)) {
    QWidget* keyWindow = QApplication::activeWindow() ? QApplication::activeWindow() : panel_;
    if (!store.boolForKey(sPrefAllowRootVolumeSelections)) {
      QApplication::beep();
      NSLog("RootVOLUME NOT Allowed.....");
      myNSRunAlertPanelOnWindow(panel_, keyWindow, kStrings, "NSAlertWindow_9008");
      return;
    }
    myNSRunAlertPanelOnWindow(panel_, keyWindow, kStrings, "NSAlertWindow_9009");
  }
  QLabel* display = nullptr;
  const char* validKey = nullptr;
  if (*key == sPrefLocalSourceUploadFolder) {
    display = ibMainWindowLocalSourcePath();
    validKey = sPrefIsValidLocalSourceUploadFolder;
  } else if (*key == sPrefLocalMasterMirrorSiteFolder) {
    display = ibMainWindowLocalMirrorSitePath();
    validKey = sPrefIsValidLocalMasterMirrorSiteFolder;
  } else if (*key == sPrefVyrHiResAlternatePath1) {
    display = ibVyrHiResAlternatePath1();
    validKey = sPrefIsValidVyrHiResAlternatePath1;
  } else {
    NSLog("openPanelDidEnd - unknown key [%s]", key->c_str());
    return;
  }
  store.setObject(Value(path), *key);
  if (display) display->setToolTip(QString::fromStdString(path));
  store.setBool(true, validKey);
}

bool PrefsWindow::revealItemInFinder(const std::string& path) {
  std::string folder = path;
  if (!folder.empty() && folder[0] == '~') folder = homeFolder() + folder.substr(1);
  if (folder.empty() || !isFolderPath(folder)) {
    QApplication::beep();
    NSLog("User Needs to Select a Valid Existing Folder...");
    return false;
  }
  // The script starts the file browser; it runs off the GUI thread.
  QThreadPool::globalInstance()->start([folder] {
    std::vector<std::string> args{folder};
    runShellScript(std::string("revealInFinder.sh"), &args);
  });
  return true;
}

void PrefsWindow::ibDeleteLocalFtpFolderIfEmpty() {
  if (!controller_) return;
  AppController* controller = controller_;
  // The walk touches the disk; its maintenance window shows how it goes.
  QThreadPool::globalInstance()->start(
      [controller] { controller->ibDeleteLocalFtpFolderIfEmpty(nullptr); });
}

void PrefsWindow::ibClickedOnSaveAndClose() {
  if (controller_)
    controller_->saveLoginInfo(saveButton_.get());
  else
    closeLoginPanel();
}

// ---- Preference files and the panels' delegate rules

std::string panelUserEnteredFilename(bool isSavePanel, const std::string& name) {
  constexpr std::string_view kSuffix = ".plist";
  if (!isSavePanel || name.ends_with(kSuffix)) return name;
  return name + std::string(kSuffix);
}

void installPanelPrompts(QFileDialog* panel) {
  if (panel->windowTitle() == QLatin1String(kSavePanelTitle)) return;
  auto choose = [](const QString& current) {
    QString name = QFileInfo(current).fileName();
    return name.isEmpty() ? QString() : QStringLiteral("Choose \"%1\"").arg(name);
  };
  QObject::connect(panel, &QFileDialog::currentChanged, panel, [panel, choose](const QString& f) {
    QString prompt = choose(f);
    panel->setLabelText(QFileDialog::Accept, prompt.isEmpty() ? QStringLiteral("Select") : prompt);
  });
  QObject::connect(panel, &QFileDialog::directoryEntered, panel, [panel, choose](const QString&) {
    QStringList files = panel->selectedFiles();
    QString prompt = files.isEmpty() ? QString() : choose(files.back());
    if (!prompt.isEmpty()) panel->setLabelText(QFileDialog::Accept, prompt);
  });
}

void PrefsWindow::ibLoadPrefFromFile() {
  QFileDialog* panel = makeSheetPanel(panel_, desktopFolder());
  panel->setWindowTitle(QStringLiteral("Please Choose A Preference File..."));
  panel->setFileMode(QFileDialog::ExistingFile);
  panel->setAcceptMode(QFileDialog::AcceptOpen);
  panel->setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
  installPanelPrompts(panel);
  QObject::connect(panel, &QFileDialog::finished, panel_, [panel](int result) {
    QStringList files = panel->selectedFiles();
    if (result != QDialog::Accepted || files.isEmpty()) {
      NSLog("openPanelForLoadPrefDidEnd - cancelled");
      return;
    }
    std::string path = files.back().toStdString();
    NSLog("Loading Pref from FileName = [%s]", path.c_str());
    loadPreferencesFromFile(path);
  });
  panel->open();
}

void PrefsWindow::ibSavePrefToFile() {
  QFileDialog* panel = makeSheetPanel(panel_, desktopFolder());
  panel->setWindowTitle(QLatin1String(kSavePanelTitle));
  panel->setLabelText(QFileDialog::LookIn,
                      QStringLiteral("Saving the Current Preferences to File..."));
  panel->setAcceptMode(QFileDialog::AcceptSave);
  QObject::connect(panel, &QFileDialog::finished, panel_, [panel](int result) {
    QStringList files = panel->selectedFiles();
    if (result != QDialog::Accepted || files.isEmpty()) {
      NSLog("savePrefToFilePanelDidEnd - cancelled");
      return;
    }
    std::string path = panelUserEnteredFilename(true, files.back().toStdString());
    NSLog("Saving Pref to FileName = [%s]", path.c_str());
    savePreferencesToFile(path);
  });
  panel->open();
}

}  // namespace sorv
