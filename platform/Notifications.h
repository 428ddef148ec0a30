// Names of the cycle's notifications and the keys of the dictionaries they carry.
#pragma once

namespace sorv {

inline constexpr const char* kScanFolderNotification = "ScanFolderNotification";
inline constexpr const char* kPrepareUploadStartNotification = "PrepareUploadStartNotification";
inline constexpr const char* kUploadStartNotification = "UploadStartNotification";
inline constexpr const char* kUploadDoneNotification = "UploadDoneNotification";
inline constexpr const char* kUploadSuccessNotification = "UploadSuccessNotification";
inline constexpr const char* kUploadFailNotification = "UploadFailNotification";
inline constexpr const char* kCleanUpAfterUploadNotification = "CleanUpAfterUploadNotification";
inline constexpr const char* kCleanUpAfterCompleteLoop = "CleanUpAfterCompleteLoop";
inline constexpr const char* kWatcherStarted = "WatcherStarted";
inline constexpr const char* kWatcherItemChanged = "WatcherItemChanged";
inline constexpr const char* kUploadProcessPaused = "UploadProcessPaused";

// Scan request dictionary.
inline constexpr const char* kLocalRootFolder = "localRootFolder";
inline constexpr const char* kLocalMirrorFolder = "localMirrorFolder";
inline constexpr const char* kUserEnteredEventName = "userEnteredEventName";
// "WatcherStarted" user info.
inline constexpr const char* kCFRunLoopRef = "CFRunLoopRef";

// Upload info dictionary.
inline constexpr const char* kUserEnteredClientName = "userEnteredClientName";
inline constexpr const char* kLocalItem = "localItem";
inline constexpr const char* kEdUser = "edUser";
inline constexpr const char* kEdPasswd = "edPasswd";
inline constexpr const char* kEdFileName = "edFileName";
inline constexpr const char* kEdClientName = "edClientName";
inline constexpr const char* kEdEventName = "edEventName";
inline constexpr const char* kEdMetaData = "edMetaData";
inline constexpr const char* kEdCaptureTime = "edCaptureTime";
inline constexpr const char* kEdVyrFuseAction = "edVyrFuseAction";
inline constexpr const char* kEdSittingInfoDictionary = "edSittingInfoDictionary";
inline constexpr const char* kEdEmails = "edEmails";
inline constexpr const char* kEdOriginalPath = "edOriginalPath";
inline constexpr const char* kEdKestrelInfo = "edKestrelInfo";
inline constexpr const char* kEdKioskStation = "edKioskStation";
inline constexpr const char* kEdMuxedMovieName = "edMuxedMovieName";

// Upload reply info (the upload info plus these).
// "httpStatusCode": integer. "httpError": dictionary {"code": integer, "domain": text,
// "localizedDescription": text}. "httpResponse": dictionary {"statusCode": integer,
// "headers": dictionary}. "httpReturnData": data. The rest are texts.
inline constexpr const char* kHttpStatusCode = "httpStatusCode";
inline constexpr const char* kHttpError = "httpError";
inline constexpr const char* kHttpResponse = "httpResponse";
inline constexpr const char* kHttpReturnData = "httpReturnData";
inline constexpr const char* kHttpOurCustomStatus = "httpOurCustomStatus";
inline constexpr const char* kHttpOurCustomMessage = "httpOurCustomMessage";
inline constexpr const char* kHttpOurCustomError = "httpOurCustomError";
// "httpRetryAfterSeconds": real; the wait a 429 or 503 answer's Retry-After asks for.
inline constexpr const char* kHttpRetryAfter = "httpRetryAfterSeconds";
// The files whose bytes were sent, as they were opened: dictionary {path: {"device",
// "inode", "size", "mtimeNs": integers}}. An item is moved only while its path still names
// those files unchanged.
inline constexpr const char* kHttpSentFiles = "httpSentFiles";

}  // namespace sorv
