// Display conversions of the preferences window, registered by name so that its bindings can
// refer to them, and the formatter of its short upper-case code field. None writes to the
// store; none converts back.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace sorv {

inline constexpr const char* kSiteUnknownText =
    "<Site Unknown - Please Fill In Your Login Name Below...>";
inline constexpr const char* kEnterLoginNameText = "Please Enter Your Login Name...";

class ValueTransformer {
 public:
  virtual ~ValueTransformer() = default;
  // The text to show for the bound value (nullopt: a nil value, or nothing to show).
  virtual std::optional<std::string> transformedValue(
      const std::optional<std::string>& value) const = 0;
  static bool allowsReverseTransformation() { return false; }

  // The process's registry (main thread only, like the window's bindings).
  static void setValueTransformer(std::shared_ptr<ValueTransformer> transformer,
                                  const std::string& name);
  static std::shared_ptr<ValueTransformer> valueTransformerForName(const std::string& name);
};

// Where the login name's own site lives: on the photo service, or on the second brand.
struct SiteHosts {
  std::string serviceDomain = "sorvphoto.net";
  std::string secondBrandDomain = "brightpane.net";
  std::string secondBrandPictureHost = "pictures.brightpane.net";
};

// Login name to its site's address; the fuse action (read on every call) picks the brand.
class LoginNameToFtpNameTransformer : public ValueTransformer {
 public:
  explicit LoginNameToFtpNameTransformer(SiteHosts hosts = {}) : hosts_(std::move(hosts)) {}
  std::optional<std::string> transformedValue(
      const std::optional<std::string>& loginName) const override;

 private:
  SiteHosts hosts_;
};

class UpperStringTransformer : public ValueTransformer {
 public:
  std::optional<std::string> transformedValue(
      const std::optional<std::string>& text) const override;
};

// The text in square brackets, so that leading and trailing blanks show.
class ShowSpacesTransformer : public ValueTransformer {
 public:
  std::optional<std::string> transformedValue(
      const std::optional<std::string>& text) const override;
};

// Limits a text field to maxLength characters and shows typed letters in capitals.
class CustomTextFieldFormatter {
 public:
  CustomTextFieldFormatter() = default;
  void setMaximumLength(int length) { maxLength = length; }
  int maximumLength() const { return maxLength; }

  std::string stringForObjectValue(const std::string& object) const { return object; }
  bool getObjectValue(std::string* object, const std::string& text,
                      std::string* errorDescription) const;
  // The edited text: too long gives false with *newString nullopt (the edit is refused);
  // otherwise *newString is the text in upper case and the answer whether that equals it.
  bool isPartialStringValid(const std::string& partial, std::optional<std::string>* newString,
                            std::string* errorDescription) const;
  // nullopt: the field's default attributes.
  std::optional<std::string> attributedStringForObjectValue(const std::string&) const {
    return std::nullopt;
  }

 private:
  int maxLength = 9;
};

// Text in upper case; letters outside ASCII pass unchanged.
std::string upperCaseText(const std::string& text);
// Number of characters (UTF-8 code points) in text.
std::size_t characterCount(const std::string& text);

}  // namespace sorv
