// The main window as the cycle drives it from worker threads, its label table, the preview,
// and the maintenance window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QThread>
#include <atomic>
#include <thread>

#include "app/AppController.h"
#include "platform/ProgressWindow.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/ui/UiHarness.h"
#include "ui/GuiMain.h"
#include "ui/MainWindow.h"
#include "ui/ProgressWindows.h"

namespace sorv::test {
namespace {

QLabel* label(MainWindow& view, const char* name) {
  return view.window()->findChild<QLabel*>(name);
}

TEST(MainWindow, WorkerUpdatesApplyOnTheGuiThreadOnlyWhileTheWindowIsShown) {
  UiHarness h;
  MainWindow view;
  AppController controller(&view);
  view.setController(&controller);
  view.window()->show();
  ASSERT_TRUE(h.pumpUntil([&] { return view.isProgressPanelVisible(); }));

  QThread* applyingThread = nullptr;
  std::thread worker([&] {
    controller.ibUpdateFileNameField("IMG_1.jpg");
    controller.ibUpdateFTPCallbackStatusTextField("Site refused the photo", true);
    controller.ibUpdateProgressBar("yes");
    mainRunLoop().postAndWait([&] { applyingThread = QThread::currentThread(); });
  });
  ASSERT_TRUE(h.pumpUntil([&] { return applyingThread != nullptr; }));
  worker.join();
  EXPECT_EQ(applyingThread, qApp->thread());
  EXPECT_EQ(label(view, "ibFileNameField")->text(), "IMG_1.jpg");
  EXPECT_TRUE(label(view, "ibFTPCallbackStatusField")->styleSheet().contains("red"));
  auto* bar = view.window()->findChild<QProgressBar*>("ibProgressBar");
  EXPECT_TRUE(bar->isVisible());
  controller.ibUpdateProgressBar("NO");
  h.pump();
  EXPECT_FALSE(bar->isVisible());

  view.window()->hide();
  ASSERT_TRUE(h.pumpUntil([&] { return !view.isProgressPanelVisible(); }));
  std::thread([&] { controller.ibUpdateFileNameField("IMG_2.jpg"); }).join();
  h.pump();
  EXPECT_EQ(label(view, "ibFileNameField")->text(), "IMG_1.jpg");
}

TEST(MainWindow, LabelTableAndVersionTexts) {
  UiHarness h;
  MainWindow view;
  uploadWindowController* upload = view.windowController();
  upload->windowDidLoad();  // no application controller: the unknown texts
  EXPECT_EQ(label(view, "ibVersion")->text(), "App Vers: v?Unknown App Version?");
  EXPECT_EQ(label(view, "ibMacOSVersion")->text(), "Mac OS Vers: ?Unknown OSVersion?");
  EXPECT_EQ(label(view, "ibCopyright")->text(), "Unknown Copyright?");

  upload->ibUpdateTextField("Spring Fair", "ibUploadMainPath", true);
  EXPECT_EQ(label(view, "ibUploadMainPath")->text(), "Spring Fair");
  // The preview is not a text field; a name without an outlet changes nothing.
  upload->ibUpdateTextField("text", "ibImageView", true);
  upload->ibUpdateTextField("text", "ibUtilStatus", true);
  upload->ibUpdateTextField("text", "", true);
  EXPECT_TRUE(label(view, "ibImageView")->text().isEmpty());
  // Forwarded actions without an application controller do nothing.
  upload->ibClickedOnHalt(nullptr);
  upload->ibClickedOnQuit(nullptr);
}

TEST(MainWindow, PreviewIsDecodedOffTheGuiThreadAndScaled) {
  UiHarness h;
  std::string photo = h.dir.sub("big.jpg");
  photos::JpegOptions options;
  options.width = 4000;
  options.height = 3000;
  ASSERT_TRUE(photos::writeJpeg(photo, options));
  MainWindow view;
  view.window()->show();
  view.showPreviewImage(photo);
  ASSERT_TRUE(h.pumpUntil([&] { return view.previewsShown() == 1; }));
  QPixmap shown = label(view, "ibImageView")->pixmap();
  EXPECT_LE(shown.width(), 240);
  EXPECT_EQ(shown.width() * 3, shown.height() * 4);
}

TEST(MaintenanceWindow, LinesChangeWhileHiddenAndTheBarFollowsYesNo) {
  UiHarness h;
  auto window = makeQtProgressWindow("maintenanceWindow");
  ASSERT_TRUE(window);
  EXPECT_FALSE(makeQtProgressWindow("noSuchWindow"));
  auto* qt = static_cast<QtProgressWindowController*>(window.get());
  std::atomic<bool> done{false};
  std::thread worker([&] {  // waits for the GUI thread, which keeps pumping
    window->ibUpdateLine1TextField("Deleting Empty Folders", true);
    window->ibUpdateLine2TextField("Fair/Booth 1", true);
    window->ibSetWindowTitle("Check Orders for Hi Res Photos");
    done = true;
  });
  ASSERT_TRUE(h.pumpUntil([&] { return done.load(); }));
  worker.join();
  h.pump();
  EXPECT_EQ(qt->window()->findChild<QLabel*>("ibUtilStatus")->text(), "Fair/Booth 1");
  EXPECT_EQ(qt->window()->windowTitle(), "Check Orders for Hi Res Photos");
  auto* bar = qt->window()->findChild<QProgressBar*>("ibUtilProgressBar");
  window->showWindow();
  window->ibUpdateProgressBar("yEs");
  h.pump();
  EXPECT_TRUE(bar->isVisible());
  window->ibUpdateProgressBar("maybe");
  h.pump();
  EXPECT_FALSE(bar->isVisible());
  window->close();
  window.reset();
  h.pump();
}

TEST(GraphicalMode, DisplayPresentOnlyWhenItCanBeOpened) {
  UiHarness h;
  const struct {
    const char *display, *wayland, *platform;
    bool expected;
  } cases[] = {
      {"", "", "", false},
      {":98765", "", "", false},  // a stale local display: headless instead of a fatal error
      {":98765.0", "", "", false},
      {"remote:10.0", "", "", true},
      {"", "no-such-wayland-socket", "", false},
      {"", "", "offscreen", true},
      {":98765", "", "xcb", false},
  };
  std::string saved = getenv("QT_QPA_PLATFORM") ? getenv("QT_QPA_PLATFORM") : "";
  for (const auto& c : cases) {
    setenv("DISPLAY", c.display, 1);
    setenv("WAYLAND_DISPLAY", c.wayland, 1);
    setenv("QT_QPA_PLATFORM", c.platform, 1);
    EXPECT_EQ(displayAvailable(), c.expected) << c.display << "|" << c.wayland << "|" << c.platform;
  }
  setenv("QT_QPA_PLATFORM", saved.c_str(), 1);
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
}

}  // namespace
}  // namespace sorv::test
