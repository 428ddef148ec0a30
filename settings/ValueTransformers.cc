#include "settings/ValueTransformers.h"

#include <strings.h>

#include "platform/Console.h"
#include "settings/Preferences.h"

namespace sorv {

namespace {

std::map<std::string, std::shared_ptr<ValueTransformer>>& registry() {
  static std::map<std::string, std::shared_ptr<ValueTransformer>> transformers;
  return transformers;
}

std::optional<std::string> siteUnknown() {
  NSLog("transformedValue - source id is nil\n");
  return std::string(kSiteUnknownText);
}

}  // namespace

void ValueTransformer::setValueTransformer(std::shared_ptr<ValueTransformer> transformer,
                                           const std::string& name) {
  registry()[name] = std::move(transformer);
}

std::shared_ptr<ValueTransformer> ValueTransformer::valueTransformerForName(
    const std::string& name) {
  auto it = registry().find(name);
  return it == registry().end() ? nullptr : it->second;
}

std::optional<std::string> LoginNameToFtpNameTransformer::transformedValue(
    const std::optional<std::string>& loginName) const {
  if (!loginName) return siteUnknown();
  const std::string& n = *loginName;
  if (n.empty()) {
    NSLog("transformedValue-> source length is ZERO = [%i]\n", 0);
    return std::string(kEnterLoginNameText);
  }
  std::string result = "http://" + n + "." + hosts_.serviceDomain;
  auto fuseAction = Preferences::getVyrFuseAction();
  if (!fuseAction) return result;
  if (strncasecmp(fuseAction->c_str(), "Brightpane", 10) == 0)
    result = "http://" + n + "." + hosts_.secondBrandDomain;
  if (strcasecmp(fuseAction->c_str(), "upload.bp5") == 0)
    return "http://" + hosts_.secondBrandPictureHost + "/" + n;
  return result;
}

std::optional<std::string> UpperStringTransformer::transformedValue(
    const std::optional<std::string>& text) const {
  if (!text) return siteUnknown();
  if (text->empty()) return std::nullopt;
  return upperCaseText(*text);
}

std::optional<std::string> ShowSpacesTransformer::transformedValue(
    const std::optional<std::string>& text) const {
  if (!text) return siteUnknown();
  if (text->empty()) return std::string();
  return "[" + *text + "]";
}

bool CustomTextFieldFormatter::getObjectValue(std::string* object, const std::string& text,
                                              std::string*) const {
  if (object) *object = text;
  return true;
}

bool CustomTextFieldFormatter::isPartialStringValid(const std::string& partial,
                                                    std::optional<std::string>* newString,
                                                    std::string*) const {
  if (maxLength < 0 || characterCount(partial) > static_cast<std::size_t>(maxLength)) {
    if (newString) newString->reset();
    return false;
  }
  std::string upper = upperCaseText(partial);
  if (newString) *newString = upper;
  return upper == partial;
}

std::string upperCaseText(const std::string& text) {
  std::string upper = text;
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

std::size_t characterCount(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

}  // namespace sorv
