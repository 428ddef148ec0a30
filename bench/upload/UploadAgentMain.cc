// One photo upload through the agent's own code path, for the benchmark to time and weigh:
// bench_upload_agent URL IMAGE [MOVIE]. Exit status 0 when the upload counted as a success.
#include <cstdio>
#include <string>

#include "platform/Notifications.h"
#include "platform/NotificationCenter.h"
#include "settings/DefaultsStore.h"
#include "upload/HttpController.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_upload_agent URL IMAGE [MOVIE]\n");
    return 2;
  }
  sorv::DefaultsStore::standard().setObject(sorv::Value(argv[1]), "prefVyrURL");
  sorv::HttpController controller;
  bool success = false;
  sorv::NotificationCenter::defaultCenter().addObserver(
      &success, sorv::kUploadSuccessNotification,
      [&](const sorv::Notification*) { success = true; });
  auto info = sorv::makeDict(sorv::Dict{
      {sorv::kEdUser, sorv::Value("bench")},
      {sorv::kEdPasswd, sorv::Value("bench")},
      {sorv::kEdFileName, sorv::Value(argv[2])},
      {sorv::kEdClientName, sorv::Value("12345678")},
      {sorv::kEdEventName, sorv::Value("Bench")},
      {sorv::kEdMetaData, sorv::Value("<plist/>")},
      {sorv::kEdCaptureTime, sorv::Value("2026-12-08 15:50:19")},
      {sorv::kEdVyrFuseAction, sorv::Value("upload.upload")},
  });
  if (argc > 3) (*info)[sorv::kEdMuxedMovieName] = sorv::Value(argv[3]);
  controller.doRunHttpUploaderWithInfo(info);
  return success ? 0 : 1;
}
