#include "orders/HttpHiResController.h"

#include <fcntl.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <pugixml.hpp>
#include <span>

#include "files/OriginalPath.h"
#include "files/QMI_FileManager.h"
#include "log/LogText.h"
#include "log/MessageLog.h"
#include "metadata/ItemRules.h"
#include "orders/OrderReply.h"
#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Notifications.h"
#include "platform/Paths.h"
#include "platform/fs/AtomicWrite.h"
#include "platform/fs/FileSystem.h"
#include "platform/http/UploadRate.h"
#include "settings/Preferences.h"
#include "upload/MultipartForm.h"
#include "upload/NetworkSettings.h"
#include "upload/UploadReply.h"

namespace sorv {
namespace {

constexpr const char* kClassName = "HttpHiResController";
// The largest original sent for an order.
constexpr std::uint64_t kMaxHiResBytes = 200ull * 1024 * 1024;

std::optional<std::string> textFor(const Dict& info, const char* key) {
  const Value* v = dictGet(info, key);
  return v ? v->stringValue() : std::nullopt;
}

std::string logFile(const char* name) {
  std::string folder = logFolderPath();
  createFolderWithParents(folder);
  return appendingPathComponent(folder, name);
}

// Replaces path with bytes through a fresh 0600 file; failures are ignored (a dump).
void writePrivateDump(const std::string& path, const std::string& bytes) {
  // Only a regular file is replaced: a link or a device in its place stays as it is.
  if (int refusal = refusalAt(defaultFileSystem(), path)) {
    if (firstRefusalOf(path, refusal))
      NSLog("WARNING: not writing the dump [%s]: %s", path.c_str(),
            atomicWriteErrorText(refusal).c_str());
    return;
  }
  std::string tmp = deletingLastPathComponent(path) + "/." + lastPathComponent(path) + ".XXXXXX";
  int fd = ::mkstemp(tmp.data());
  if (fd < 0) return;
  bool ok = true;
  for (std::size_t off = 0; ok && off < bytes.size();) {
    ssize_t w = ::write(fd, bytes.data() + off, bytes.size() - off);
    ok = w > 0;
    if (ok) off += static_cast<std::size_t>(w);
  }
  ok = ::close(fd) == 0 && ok;
  if (!ok || refusalAt(defaultFileSystem(), path) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0)
    ::unlink(tmp.c_str());
}

// A path handed to the resolver, which undoes %XX escapes: a literal '%' must stay one.
std::string escapedPercents(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '%' ? std::string("%25") : std::string(1, c);
  return out;
}

std::string hiResContentType(const std::string& path) {
  return strcasecmp(pathExtension(path).c_str(), "PNG") == 0 ? "image/png" : "image/jpeg";
}

void recordStatusAndMessage(const pugi::xml_node& root, Dict* replyInfo) {
  auto status = valueOfChild(root, "status");
  auto message = valueOfChild(root, "message");
  if (status) (*replyInfo)[kHttpOurCustomStatus] = Value(*status);
  if (message) (*replyInfo)[kHttpOurCustomMessage] = Value(*message);
  if (!status || !message)
    NSLog("The order reply has no \"%s\" element under its root", status ? "message" : "status");
}

}  // namespace

// The elements of one order or image that the walk uses; nullopt for a missing element.
struct HttpHiResController::Order {
  std::size_t number = 0;  // 1-based, for log lines
  bool version4 = false;
  std::optional<std::string> localFileLocation, orderId, imageId, pictureId, fileName;
};

HttpHiResController::HttpHiResController(HttpTransport* transport) : transport_(transport) {}

std::vector<std::string> HttpHiResController::nameFallbackRoots() {
  return {kMainImagesFolder, deletingLastPathComponent(Bundle::bundlePath())};
}

void HttpHiResController::line2(const std::string& text, bool doWait) {
  if (progressDelegate_) progressDelegate_->ibUpdateLine2TextField(text, doWait);
}

bool HttpHiResController::doQueryAndUploadHiResWithInfo(const DictRef& info) {
  if (!info) {
    NSLog("Passed NO Info to %s => %s...", kClassName, "doQueryAndUploadHiResWithInfo:");
    return true;
  }
  std::string fuseAction = Preferences::getPrefCheckHiResOrderFuseAction().value_or("");
  MultipartForm form;
  form.addField("fuseaction", fuseAction);
  form.addField("username", textFor(*info, kEdUser).value_or(""));
  form.addField("password", textFor(*info, kEdPasswd).value_or(""));
  if (!form.refusedField().empty()) {
    myNSLog("Not sending the order query: its field \"%s\" holds the form's delimiter",
            form.refusedField().c_str());
    info->clear();
    return true;
  }
  form.writeDump(logFile("hiresPostBody.txt"), false);

  Dict replyInfo = *info;
  form.addClosingLine();
  HttpRequest request;
  request.url = Preferences::getPrefVyrURL().value_or("");
  request.headers.emplace_back("Content-Type", multipartContentType());
  request.body = form.body();
  request.connection = kOrdersConnection;
  request.repeatable = true;
  warnOnceIfPasswordInClear(request.url);
  line2(stringWithFormat("Sending Query to %s", fuseAction.c_str()), true);

  HttpTransport& transport = transport_ ? *transport_ : defaultHttpTransport();
  HttpResult result = transport.post(request);
  if (result.body) writePrivateDump(logFile("hiresOrderResponse.txt"), *result.body);
  addHttpResultKeys(result, &replyInfo);
  if (result.error) NSLog("The order query failed: %s", result.error->description.c_str());

  if (result.body) {
    pugi::xml_document doc;
    std::string err;
    if (!parseOrderReply(*result.body, &doc, &err)) {
      NSLog("responseString converted to xmlDoc with Error: [%s]\n\n", err.c_str());
    } else if (strcasecmp(fuseAction.c_str(), kVersion4CheckFuseAction) == 0) {
      parseDataVers4(&doc, &replyInfo);
    } else {
      parseDataVers3(&doc, &replyInfo);
    }
  }
  info->clear();
  return true;
}

bool HttpHiResController::parseDataVers3(const pugi::xml_document* myXmlDoc, Dict* replyInfo) {
  if (!myXmlDoc || !replyInfo) return false;
  pugi::xml_node root = myXmlDoc->document_element();
  if (std::size_t count = countChildren(root, "order"))
    line2(stringWithFormat("Found %zu Orders...", count), true);
  std::size_t number = 0;
  for (pugi::xml_node node = root.child("order"); node; node = node.next_sibling("order")) {
    if (stopping()) break;
    Order order;
    order.number = ++number;
    order.localFileLocation = valueOfChild(node, "localfilelocation");
    order.orderId = valueOfChild(node, "orderid");
    order.imageId = valueOfChild(node, "imageid");
    order.pictureId = valueOfChild(node, "pictureid");
    resolveAndUpload(order, *replyInfo);
  }
  recordStatusAndMessage(root, replyInfo);
  return true;
}

bool HttpHiResController::parseDataVers4(const pugi::xml_document* myXmlDoc, Dict* replyInfo) {
  if (!myXmlDoc || !replyInfo) return false;
  pugi::xml_node root = myXmlDoc->document_element();
  recordStatusAndMessage(root, replyInfo);
  std::size_t count = countChildren(root, "image");
  if (count == 0) return true;
  line2(stringWithFormat("Found %zu Orders...", count), true);
  std::size_t number = 0;
  for (pugi::xml_node node = root.child("image"); node; node = node.next_sibling("image")) {
    if (stopping()) break;
    Order order;
    order.number = ++number;
    order.version4 = true;
    order.imageId = valueOfChild(node, "imageid");
    order.localFileLocation = valueOfChild(node, "localfilelocation");
    order.orderId = valueOfChild(node, "orderid");
    order.fileName = valueOfChild(node, "filename");
    resolveAndUpload(order, *replyInfo);
  }
  return true;
}

std::optional<std::string> HttpHiResController::searchFor(
    const std::string& recordedPath, const std::optional<std::vector<std::string>>& roots) {
  // Checked here as well as by the resolver: the refusal must be in the log before anything
  // is looked up.
  auto decoded = decodedRecordedPath(recordedPath);
  if (decoded && hasParentDirectoryComponent(*decoded)) {
    myNSLog("Refusing hi-res item [%s]: its path has a \"..\" component", decoded->c_str());
    return std::nullopt;
  }
  line2(stringWithFormat("Looking for Hi Res Item: [%s]", decoded.value_or(recordedPath).c_str()),
        false);
  return QMI_FileManager::doResolveOriginalPath(recordedPath, roots);
}

void HttpHiResController::resolveAndUpload(const Order& order, const Dict& replyInfo) {
  const char* required3[] = {"localfilelocation", "orderid", "imageid", "pictureid"};
  const char* required4[] = {"localfilelocation", "filename", "imageid"};
  auto has = [&](const char* name) {
    if (!std::strcmp(name, "localfilelocation")) return order.localFileLocation.has_value();
    if (!std::strcmp(name, "orderid")) return order.orderId.has_value();
    if (!std::strcmp(name, "imageid")) return order.imageId.has_value();
    if (!std::strcmp(name, "pictureid")) return order.pictureId.has_value();
    return order.fileName.has_value();
  };
  for (const char* name :
       order.version4 ? std::span<const char*>(required4) : std::span<const char*>(required3)) {
    if (!has(name)) {
      myNSLog("Skipping order %zu of the reply: it has no \"%s\" element", order.number, name);
      return;
    }
  }

  std::optional<std::vector<std::string>> roots;
  auto alternate = Preferences::getPrefVyrHiResAlternatePath1();
  if (Preferences::getPrefDoUseVyrHiResAlternatePath1() && alternate &&
      defaultFileSystem().isDirectory(*alternate))
    roots = std::vector<std::string>{*alternate};

  // The resolver undoes the escapes itself, once.
  const std::string& recorded = *order.localFileLocation;
  std::optional<std::string> found = searchFor(recorded, roots);
  std::string wanted = decodedRecordedPath(recorded).value_or(recorded);
  if (!found && order.version4 && recorded.empty()) {
    wanted = hiResTryPathForFileName(*order.fileName);
    found = searchFor(escapedPercents(wanted), nameFallbackRoots());
  }
  if (!found) {
    NSLog("WARNING => Unable to find item = [%s]", wanted.c_str());
    return;
  }
  // Larger than any photo a kiosk makes: not an original, and not read to find out.
  FileInfo size;
  if (defaultFileSystem().stat(*found, &size) == 0 && size.size > kMaxHiResBytes) {
    myNSLog("Refusing hi-res item [%s]: its %llu bytes are more than the %llu a photo may have",
            found->c_str(), static_cast<unsigned long long>(size.size),
            static_cast<unsigned long long>(kMaxHiResBytes));
    return;
  }
  // An order names a file on this machine; only a photo is ever sent for it.
  if (!IsValidImageObject(*found)) {
    myNSLog("Refusing hi-res item [%s]: it is not an image", found->c_str());
    return;
  }

  line2(stringWithFormat("Uploading Hi Res Item: [%s]", found->c_str()), false);
  auto upload = makeDict();
  for (const char* key : {kEdUser, kEdPasswd})
    if (const Value* v = dictGet(replyInfo, key)) (*upload)[key] = *v;
  (*upload)[kEdFileName] = Value(*found);
  (*upload)[kEdImageId] = Value(*order.imageId);
  if (order.orderId) (*upload)[kEdOrderId] = Value(*order.orderId);
  if (!order.version4 && order.pictureId) (*upload)[kEdPictureId] = Value(*order.pictureId);
  doRunHttpUploaderHiResWithInfo(upload);
}

bool HttpHiResController::doRunHttpUploaderHiResWithInfo(const DictRef& info) {
  if (!info) {
    NSLog("Passed NO Info to %s => %s...", kClassName, "doRunHttpUploaderHiResWithInfo:");
    return true;
  }
  for (const char* key : {kEdUser, kEdPasswd, kEdFileName, kEdImageId}) {
    if (!textFor(*info, key)) {
      NSLog("Inside %s => %s... hi-res upload info has no %s", kClassName,
            "doRunHttpUploaderHiResWithInfo:", key);
      info->clear();
      return true;
    }
  }
  std::string path = *textFor(*info, kEdFileName);
  MultipartForm form;
  form.addField("fuseaction", Preferences::getPrefUploadHiResOrderFuseAction().value_or(""));
  form.addField("username", *textFor(*info, kEdUser));
  form.addField("password", *textFor(*info, kEdPasswd));
  if (auto orderId = textFor(*info, kEdOrderId)) form.addField("orderid", *orderId);
  form.addField("imageid", *textFor(*info, kEdImageId));
  if (auto pictureId = textFor(*info, kEdPictureId)) form.addField("pictureid", *pictureId);
  form.addFilePartHeader("imgfile", lastPathComponent(path), hiResContentType(path));
  if (!form.refusedField().empty()) {
    myNSLog("Not sending hi-res item [%s]: its field \"%s\" holds the form's delimiter",
            path.c_str(), form.refusedField().c_str());
    info->clear();
    return true;
  }

  std::string err;
  std::shared_ptr<HttpBodyFile> file = HttpBodyFile::open(path, &err);
  if (!file) {
    NSLog("Error in Reading the Contents of file at path:\n%s\n\n", path.c_str());
    info->clear();
    return true;
  }
  if (file->size() > kMaxHiResBytes) {
    // It grew past the limit after the check above.
    myNSLog("Not sending hi-res item [%s]: its %llu bytes are more than the %llu a photo may have",
            path.c_str(), static_cast<unsigned long long>(file->size()),
            static_cast<unsigned long long>(kMaxHiResBytes));
    info->clear();
    return true;
  }
  form.addFile(file);
  form.addClosingLine();

  HttpRequest request;
  request.url = Preferences::getPrefVyrURL().value_or("");
  request.headers.emplace_back("Content-Type", multipartContentType());
  request.body = form.body();
  request.forbiddenInFiles = kFileDelimiter;
  request.connection = kOrdersConnection;
  request.maxSendBytesPerSecond = currentUploadRateCap();
  HttpTransport& transport = transport_ ? *transport_ : defaultHttpTransport();
  HttpResult result = transport.post(request);

  Dict replyInfo = *info;
  addHttpResultKeys(result, &replyInfo);
  if (result.error) {
    NSLog("Hi-res upload of [%s] failed: %s", path.c_str(), result.error->description.c_str());
  } else if (result.body) {
    ParsedReply reply = parseUploadReply(*result.body);
    if (reply.kind == ParsedReply::Kind::Status) {
      replyInfo[kHttpOurCustomStatus] = Value(reply.status);
      replyInfo[kHttpOurCustomMessage] = Value(reply.message);
      NSLog("Hi-res upload of [%s]: status [%s], message [%s]", path.c_str(),
            clippedForLog(reply.status).c_str(), clippedForLog(reply.message).c_str());
    } else {
      NSLog("Hi-res upload of [%s]: unreadable reply (%s)", path.c_str(),
            reply.kind == ParsedReply::Kind::TooFewChildren ? "Not enough data returned..."
                                                            : reply.message.c_str());
    }
  }
  info->clear();
  return true;
}

}  // namespace sorv
