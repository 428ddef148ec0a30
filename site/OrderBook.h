// The hi-res orders the site answers the order query with, loaded from a property-list file:
// an array of dictionaries with the texts "localfilelocation" (percent-escaped), "orderid",
// "imageid", "pictureid" and "filename". An order leaves the list once a hi-res upload
// for its image id arrives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace sorv::site {

struct Order {
  std::string localFileLocation, orderId, imageId, pictureId, fileName;
};

class OrderBook {
 public:
  // False with *err when the file cannot be read or is not an array of dictionaries.
  bool load(const std::string& path, std::string* err);
  // The version-3 reply ("order" elements, then "status" and "message") or the version-4
  // reply ("status" and "message", then "image" elements).
  std::string replyXml(bool version4);
  void fulfil(const std::string& imageId);

 private:
  std::mutex mutex_;
  std::vector<Order> open_;
};

// Text with &, <, > and quotes escaped for XML.
std::string xmlEscape(const std::string& text);

}  // namespace sorv::site
