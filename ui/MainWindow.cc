#include "ui/MainWindow.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QEvent>
#include <QImageReader>
#include <QLabel>
#include <QPixmap>
#include <QPointer>
#include <QShortcut>
#include <QThreadPool>

#include "app/AppController.h"
#include "platform/RunLoop.h"
#include "settings/Preferences.h"
#include "ui_MainWindow.h"

namespace sorv {

// Keeps the visibility flags that worker threads read in step with the windows.
class MainWindow::VisibilityWatch : public QObject {
 public:
  VisibilityWatch(QWidget* watched, std::atomic<bool>* flag) : flag_(flag) {
    watched->installEventFilter(this);
  }
  bool eventFilter(QObject* object, QEvent* event) override {
    if (event->type() == QEvent::Show) *flag_ = true;
    if (event->type() == QEvent::Hide) *flag_ = false;
    return QObject::eventFilter(object, event);
  }

 private:
  std::atomic<bool>* flag_;
};

namespace {

class LabelVersionField : public VersionField {
 public:
  explicit LabelVersionField(QLabel* label) : label_(label) {}
  int tag() const override { return tagOf(label_); }
  void setStringValue(const std::string& text) override {
    if (label_) label_->setText(QString::fromStdString(text));
  }

 private:
  QPointer<QLabel> label_;
};

// Decodes at most the label's size: a 12 MP JPEG is scaled while it is decoded.
QImage scaledPreview(const QString& path, QSize box) {
  QImageReader reader(path);
  reader.setAutoTransform(true);
  QSize size = reader.size();
  if (size.isValid()) reader.setScaledSize(size.scaled(box, Qt::KeepAspectRatio));
  return reader.read();
}

}  // namespace

MainWindow::MainWindow(std::function<void()> onTerminate)
    : window_(std::make_unique<QWidget>()),
      ui_(std::make_unique<Ui::MainWindow>()),
      onTerminate_(std::move(onTerminate)) {
  ui_->setupUi(window_.get());
  MainWindowOutlets outlets;
  outlets.ibFileNameField = ui_->ibFileNameField;
  outlets.ibUploadFileStatusField = ui_->ibUploadFileStatusField;
  outlets.ibFTPCallbackStatusField = ui_->ibFTPCallbackStatusField;
  outlets.ibLoginName = ui_->ibLoginName;
  outlets.ibUploadMainPath = ui_->ibUploadMainPath;
  outlets.ibSourceFolderPath = ui_->ibSourceFolderPath;
  outlets.ibImageView = ui_->ibImageView;
  outlets.ibVersion = ui_->ibVersion;
  outlets.ibCopyright = ui_->ibCopyright;
  outlets.ibMacOSVersion = ui_->ibMacOSVersion;
  outlets.ibProgressBar = ui_->ibProgressBar;
  upload_ = std::make_unique<uploadWindowController>(window_.get(), outlets);
  pauseButton_ = std::make_unique<QtControl>(ui_->ibPauseResumeButton);
  prefButton_ = std::make_unique<QtControl>(ui_->ibOpenPrefButton);
  syncButton_ = std::make_unique<QtControl>(ui_->ibSynchronizeButton);
  quitButton_ = std::make_unique<QtControl>(ui_->ibQuitButton);
  versionField_ = std::make_unique<LabelVersionField>(ui_->ibVersion);
  ui_->ibProgressBar->setVisible(false);
  previewPool_ = std::make_unique<QThreadPool>();
  previewPool_->setMaxThreadCount(1);
  previewPool_->setExpiryTimeout(-1);  // the one thread keeps its priority
  previewPool_->start([] { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10); });
  watch_ = std::make_unique<VisibilityWatch>(window_.get(), &visible_);
  prefs_ = std::make_unique<PrefsWindow>(nullptr, window_.get(), prefButton_.get());
  prefsWatch_ = std::make_unique<VisibilityWatch>(prefs_->ibLoginPanel(), &prefsVisible_);

  QObject::connect(ui_->ibSynchronizeButton, &QPushButton::clicked, window_.get(),
                   [this] { upload_->ibUserClickedOnSynchronize(syncButton_.get()); });
  QObject::connect(ui_->ibPauseResumeButton, &QPushButton::clicked, window_.get(),
                   [this] { upload_->ibClickedOnHalt(pauseButton_.get()); });
  QObject::connect(ui_->ibOpenPrefButton, &QPushButton::clicked, window_.get(),
                   [this] { upload_->ibClickedOnOpenPref(prefButton_.get()); });
  // The Open command (Ctrl+O) starts a pass as the synchronise button does.
  auto* open = new QShortcut(QKeySequence::Open, window_.get());
  QObject::connect(open, &QShortcut::activated, window_.get(), [this] {
    if (controller_) controller_->ibUserClickedOnSynchronize(nullptr);
  });
  QObject::connect(ui_->ibQuitButton, &QPushButton::clicked, window_.get(),
                   [this] { upload_->ibClickedOnQuit(quitButton_.get()); });
  // Opens the problem folder in the file browser, as the preferences window's folders do.
  QObject::connect(ui_->ibProblemFolderButton, &QPushButton::clicked, window_.get(), [this] {
    if (auto problem = Preferences::getLocalProblemUploadFolder())
      prefs_->revealItemInFinder(*problem);
  });
}

void MainWindow::showCounts(const CycleStatus& status) {
  ui_->ibWaitingCount->setText(QString::number(status.waiting));
  ui_->ibUploadedTodayCount->setText(QString::number(status.uploadedToday));
  ui_->ibProblemFolderButton->setText(
      QStringLiteral("Problem folder (%1)").arg(status.problemFolder));
}

MainWindow::~MainWindow() {
  previewPool_->clear();
  previewPool_->waitForDone();
  prefsWatch_.reset();
  prefs_.reset();
  watch_.reset();
}

void MainWindow::setController(AppController* controller) {
  controller_ = controller;
  upload_->setAppDelegate(controller);
  prefsWatch_.reset();
  prefs_ = std::make_unique<PrefsWindow>(controller, window_.get(), prefButton_.get());
  prefsWatch_ = std::make_unique<VisibilityWatch>(prefs_->ibLoginPanel(), &prefsVisible_);
  upload_->openPrefAction = [this](AppControl* sender) { prefs_->ibClickedOnOpenPref(sender); };
}

QWidget* MainWindow::fieldWidget(AppField field) const {
  switch (field) {
    case AppField::FTPCallbackStatus:
      return ui_->ibFTPCallbackStatusField;
    case AppField::UploadFileStatus:
      return ui_->ibUploadFileStatusField;
    case AppField::FileName:
      return ui_->ibFileNameField;
    case AppField::LoginName:
      return ui_->ibLoginName;
    case AppField::UploadMainPath:
      return ui_->ibUploadMainPath;
    case AppField::SourceFolderPath:
      return ui_->ibSourceFolderPath;
  }
  return nullptr;
}

bool MainWindow::isFieldShown(AppField field) const {
  return fieldWidget(field) && visible_;
}

void MainWindow::setFieldText(AppField field, const std::string& text, bool isError) {
  auto* label = qobject_cast<QLabel*>(fieldWidget(field));
  if (!label) return;
  label->setStyleSheet(isError ? QStringLiteral("color: red;") : QStringLiteral("color: black;"));
  label->setText(QString::fromStdString(text));
}

void MainWindow::setFieldToolTip(AppField field, const std::string& text) {
  if (QWidget* widget = fieldWidget(field)) widget->setToolTip(QString::fromStdString(text));
}

void MainWindow::setProgressBarAnimating(bool animating) {
  ui_->ibProgressBar->setRange(0, 0);
  ui_->ibProgressBar->setVisible(animating);
}

void MainWindow::showPreviewImage(const std::string& path) {
  if (!visible_) return;  // nobody would see it: no decoding either
  int generation = ++previewGeneration_;
  QPointer<QLabel> view(ui_->ibImageView);
  QSize box = ui_->ibImageView->size();
  QString file = QString::fromStdString(path);
  std::atomic<int>* latest = &previewGeneration_;
  // Decoding is file and CPU work: one low-priority thread does it, the GUI thread only shows
  // the result. A request overtaken by a later item before its turn is dropped, so a fast
  // drain never queues up decodes that compete with the GUI thread for the processors.
  previewPool_->start([view, box, file, generation, latest] {
    if (generation != latest->load()) return;
    QImage image = scaledPreview(file, box);
    if (image.isNull()) return;  // already moved on, or not an image after all
    mainRunLoop().post([label = view, image, generation, latest] {
      if (!label || generation != latest->load()) return;
      label->setPixmap(QPixmap::fromImage(image));
      label->setProperty("previewsShown", label->property("previewsShown").toInt() + 1);
    });
  });
}

int MainWindow::previewsShown() const {
  return ui_->ibImageView->property("previewsShown").toInt();
}

void MainWindow::bringProgressPanelToFront() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}

AppControl* MainWindow::progressPanelControl(int tag) {
  QWidget* widget = viewWithTag(window_.get(), tag);
  if (widget == ui_->ibPauseResumeButton) return pauseButton_.get();
  return nullptr;
}

// The cycle calls these from its own threads too (the preferences pause ends on the waiting
// thread); the windows change on the GUI thread.
void MainWindow::closeLoginPanel() {
  onGuiThread([this] { prefs_->closeLoginPanel(); });
}

void MainWindow::openPreferences(AppControl* sender) {
  onGuiThread([this, sender] { prefs_->doHandleOpenPrefPanel(sender); });
}

void MainWindow::beep() {
  onGuiThread([] { QApplication::beep(); });
}

void MainWindow::onGuiThread(std::function<void()> fn) {
  if (mainRunLoop().isLoopThread())
    fn();
  else
    mainRunLoop().post(std::move(fn));
}

void MainWindow::terminate() {
  if (onTerminate_) onTerminate_();
}

}  // namespace sorv
