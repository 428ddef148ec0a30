// The periodic hi-res order check.
#include "app/AppController.h"

namespace sorv {

void AppController::doQueryAndUploadHiResProcess() {}
void AppController::stopBackgroundWork() {}

}  // namespace sorv
