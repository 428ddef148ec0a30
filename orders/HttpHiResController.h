// Hi-res orders: asks the site which originals customers have ordered, finds each one on the
// local disks and uploads it. One controller serves one order check.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProgressWindow.h"
#include "platform/Value.h"
#include "platform/http/HttpTransport.h"

namespace pugi {
class xml_document;
class xml_node;
}  // namespace pugi

namespace sorv {

// Hi-res upload info keys (with edUser, edPasswd and edFileName).
inline constexpr const char* kEdImageId = "edImageId";
inline constexpr const char* kEdOrderId = "edOrderId";
inline constexpr const char* kEdPictureId = "edPictureId";

// The check fuse action that asks for the version-4 reply (compared ignoring case).
inline constexpr const char* kVersion4CheckFuseAction = "orders.v4check";
// The suite's main images folder, where the name fallback looks first.
inline constexpr const char* kMainImagesFolder =
    "/Applications/SORV OS X Folder v14/MAIN IMAGES FOLDER \xC6\x92";

class HttpHiResController {
 public:
  // transport nullptr: defaultHttpTransport() at each request.
  explicit HttpHiResController(HttpTransport* transport = nullptr);
  HttpHiResController(const HttpHiResController&) = delete;
  HttpHiResController& operator=(const HttpHiResController&) = delete;

  // Non-owning; receives the progress texts. Null after construction.
  myProgressWindowController* progressDelegate() const { return progressDelegate_; }
  void setProgressDelegate(myProgressWindowController* delegate) { progressDelegate_ = delegate; }

  // Asked before each order; true ends the walk there (the agent is quitting).
  void setShouldStop(std::function<bool()> shouldStop) { shouldStop_ = std::move(shouldStop); }

  // One order query with info's edUser and edPasswd, the walk of the reply, and a hi-res
  // upload for every original found; synchronous. Empties info. Always true.
  bool doQueryAndUploadHiResWithInfo(const DictRef& info);

  // The walk of a version-4 reply. replyInfo: the order query reply info (edUser, edPasswd);
  // receives "httpOurCustomStatus" and "httpOurCustomMessage". False without a document.
  bool parseDataVers4(const pugi::xml_document* myXmlDoc, Dict* replyInfo);
  // The walk of a version-3 reply, likewise.
  bool parseDataVers3(const pugi::xml_document* myXmlDoc, Dict* replyInfo);

  // Uploads one original (edUser, edPasswd, edFileName, edImageId; edOrderId and
  // edPictureId when present); synchronous; the outcome goes to the console only. Empties
  // info. Always true.
  bool doRunHttpUploaderHiResWithInfo(const DictRef& info);

  // The roots of the name fallback: the main images folder, then the folder that holds the
  // application bundle.
  static std::vector<std::string> nameFallbackRoots();

 private:
  struct Order;
  void resolveAndUpload(const Order& order, const Dict& replyInfo);
  std::optional<std::string> searchFor(const std::string& recordedPath,
                                       const std::optional<std::vector<std::string>>& roots);
  void line2(const std::string& text, bool doWait);
  bool stopping() const { return shouldStop_ && shouldStop_(); }

  HttpTransport* transport_;
  myProgressWindowController* progressDelegate_ = nullptr;
  std::function<bool()> shouldStop_;
};

}  // namespace sorv
