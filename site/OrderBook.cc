#include "site/OrderBook.h"

#include <algorithm>

#include "platform/Plist.h"

namespace sorv::site {

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool OrderBook::load(const std::string& path, std::string* err) {
  auto v = plist::parseFile(path, err);
  if (!v) return false;
  const Array* list = v->asArray();
  if (!list) {
    if (err) *err = "the orders file is not an array";
    return false;
  }
  std::vector<Order> orders;
  for (const auto& item : *list) {
    const Dict* d = item.asDict();
    if (!d) {
      if (err) *err = "an order is not a dictionary";
      return false;
    }
    auto text = [&](const char* key) {
      const Value* x = dictGet(*d, key);
      return x ? x->stringValue().value_or("") : std::string();
    };
    orders.push_back({text("localfilelocation"), text("orderid"), text("imageid"),
                      text("pictureid"), text("filename")});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  open_ = std::move(orders);
  return true;
}

std::string OrderBook::replyXml(bool version4) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto el = [](const char* name, const std::string& v) {
    return std::string("<") + name + ">" + xmlEscape(v) + "</" + name + ">";
  };
  std::string status =
      el("status", "OK") + el("message", std::to_string(open_.size()) + " orders waiting");
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<orders>\n";
  if (version4) out += status + "\n";
  for (const auto& o : open_) {
    if (version4) {
      out += "<image>" + el("imageid", o.imageId) + el("localfilelocation", o.localFileLocation) +
             el("orderid", o.orderId) + el("pictureid", o.pictureId) + el("filename", o.fileName) +
             "</image>\n";
    } else {
      out += "<order>" + el("localfilelocation", o.localFileLocation) + el("orderid", o.orderId) +
             el("imageid", o.imageId) + el("pictureid", o.pictureId) + "</order>\n";
    }
  }
  if (!version4) out += status + "\n";
  return out + "</orders>\n";
}

void OrderBook::fulfil(const std::string& imageId) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(open_, [&](const Order& o) { return o.imageId == imageId; });
}

}  // namespace sorv::site
