// Cleaning at start-up and at quit: empty folders, old photos, the day's log file.
#include "app/AppController.h"

namespace sorv {

void AppController::setupConsoleLogFile() {}
void AppController::deleteOldLogFiles() {}
void AppController::deleteEmptySourceFoldersAtStartup() {}
void AppController::deleteEmptySourceFoldersAtQuit() {}
void AppController::doSetupDeleteOldPhotosThread() {}

}  // namespace sorv
