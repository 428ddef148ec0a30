// Where the site keeps what it received: one folder per upload, "<sequence>-<name>", with
// "fields.plist" (every part in body order) and the files byte for byte. A folder appears
// complete or not at all: it is filled under a hidden name and renamed into place.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace sorv::site {

struct ReceivedPart {
  std::string name;
  std::string value;        // text fields
  std::string fileName;     // file parts: the name the client gave
  std::string contentType;  // file parts
  std::string storedName;   // file parts: the file's name in the upload folder
  std::uint64_t size = 0;   // file parts
  bool isFile() const { return !storedName.empty(); }
};

// One upload being received into a hidden folder of the store.
class IncomingUpload {
 public:
  explicit IncomingUpload(std::string folder) : folder_(std::move(folder)) {}
  ~IncomingUpload();  // removes the folder unless it was committed
  IncomingUpload(const IncomingUpload&) = delete;
  IncomingUpload& operator=(const IncomingUpload&) = delete;

  const std::string& folder() const { return folder_; }
  // A safe, unused file name inside the folder for a part's file.
  std::string fileNameFor(const std::string& field, const std::string& clientName);
  void markCommitted() { committed_ = true; }

 private:
  std::string folder_;
  std::vector<std::string> used_;
  bool committed_ = false;
};

class UploadStore {
 public:
  explicit UploadStore(std::string root);  // creates root when missing
  const std::string& root() const { return root_; }

  // nullptr when the hidden folder cannot be made.
  std::unique_ptr<IncomingUpload> begin();
  // Writes fields.plist and renames the folder to "<sequence>-<name>"; the folder's path,
  // or "" on failure.
  std::string commit(IncomingUpload& incoming, const std::string& kind,
                     const std::vector<ReceivedPart>& parts, const Dict& headers);

  // The stored upload folders' names, oldest first.
  std::vector<std::string> list() const;

 private:
  std::string root_;
  std::atomic<int> next_{1};
};

// A name that stays inside its folder: letters, digits, ".", "-" and "_" kept, every other
// byte as "_", leading dots dropped, at most 80 bytes; never "", "fields.plist", "." or "..".
// A name it returns comes back unchanged.
std::string safeFileName(const std::string& name);

}  // namespace sorv::site
