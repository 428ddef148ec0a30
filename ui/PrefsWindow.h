// The preferences window: a panel shown as a window-modal sheet on the main window (while the
// cycle is paused for it) or as a window of its own; a lock that enables and disables the
// editable controls; folder choosers with a volume-root check; folder displays coloured by
// their validity; reveal buttons; preference files. Everything here runs on the GUI thread.
#pragma once

#include <QDialog>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ui/Tags.h"

class QAbstractButton;
class QFileDialog;
class QLabel;
class QTabWidget;

namespace Ui {
class PrefsWindow;
}

namespace sorv {

class AppController;
class PrefBindings;

class newNSPanel : public QDialog {
 public:
  explicit newNSPanel(QWidget* parent = nullptr) : QDialog(parent) {}
  bool displayAsSheet() const { return fDisplayAsSheet; }
  void setDisplayAsSheet(bool flag) { fDisplayAsSheet = flag; }

 private:
  bool fDisplayAsSheet = false;
};

// True for an existing folder that is "/", "/Volumes", a folder directly inside /Volumes, or
// the top folder of a mounted file system (a disk mounted under /media or /mnt).
bool isRootVolume(const std::string& path);

// The title that tells the save panel from the other file panels.
inline constexpr const char* kSavePanelTitle = "SavePanel";
// The file name a panel uses for the name the user entered: the save panel adds ".plist"
// unless the name already ends in it (case-sensitive); other panels keep the name.
std::string panelUserEnteredFilename(bool isSavePanel, const std::string& name);
// Sets the prompt of a panel other than the save panel as its selection and folder change.
void installPanelPrompts(QFileDialog* panel);

class PrefsWindow {
 public:
  // controller: may be nullptr (then the cycle is never running and nothing is forwarded).
  // mainWindow: the parent of the sheet; prefButton: the main window's preferences button.
  PrefsWindow(AppController* controller, QWidget* mainWindow, QtControl* prefButton);
  ~PrefsWindow();
  PrefsWindow(const PrefsWindow&) = delete;
  PrefsWindow& operator=(const PrefsWindow&) = delete;

  newNSPanel* ibLoginPanel() const { return panel_; }
  QTabWidget* ibTabView() const;
  QWidget* ibChangeablePrefView() const;
  QWidget* ibChangeablePref2View() const;
  QWidget* ibChangeablePref3View() const;
  QLabel* ibMainWindowLocalSourcePath() const;
  QLabel* ibMainWindowLocalMirrorSitePath() const;
  QLabel* ibVyrHiResAlternatePath1() const;
  QAbstractButton* lockButton() const;

  // The start-up steps of the window: the code field, the initial lock, the version text,
  // then the window is shown on its own.
  void applyStartupState();
  void setupCodeField();
  // A note under the source folder when a service's SORV_SOURCE_FOLDER is served instead.
  void showServedSourceFolder();

  void ibClickedOnOpenPref(AppControl* sender);
  void doHandleOpenPrefPanel(AppControl* sender);
  void sheetDidEnd(int returnCode);
  // Ends the sheet (code 1) or closes the window, by displayAsSheet; the window is locked.
  void closeLoginPanel();
  bool isVisible() const;

  void ibClickedOnLockIcon(QAbstractButton* sender);
  void forceLockedIcon(bool unlocked);
  void tabViewWillSelect(int index);
  void observeValueForKeyPath(const std::string& keyPath, QWidget* context);

  enum class Folder { Source, Mirror, AlternatePath };
  void ibClickedOnChangeFolder(Folder which, QWidget* sender);
  // The end of a folder chooser: code 1 is OK; key as chosen by ibClickedOnChangeFolder.
  void openPanelDidEnd(int returnCode, const std::optional<std::string>& key,
                       const std::vector<std::string>& paths);
  // Opens the folder in the file browser; false (with a beep) when it is not a folder.
  bool revealItemInFinder(const std::string& path);
  void ibDeleteLocalFtpFolderIfEmpty();
  void ibClickedOnSaveAndClose();
  void ibLoadPrefFromFile();
  void ibSavePrefToFile();

 private:
  void connectActions();
  void setupObservers();

  AppController* controller_;
  QWidget* mainWindow_;
  QtControl* prefButton_;
  newNSPanel* panel_;  // owned through mainWindow_ when it has one
  std::unique_ptr<Ui::PrefsWindow> ui_;
  std::unique_ptr<PrefBindings> bindings_;
  std::unique_ptr<QtControl> saveButton_;
};

}  // namespace sorv
