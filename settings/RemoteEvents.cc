#include "settings/RemoteEvents.h"

#include <strings.h>

#include <cctype>
#include <charconv>
#include <cmath>

#include "platform/Console.h"
#include "settings/DefaultsStore.h"
#include "settings/Preferences.h"

namespace sorv {

double leadingDecimalValue(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Only decimal digits start a number: no hexadecimal, infinity or NaN spellings.
  auto isDigitAt = [&](std::size_t k) {
    return k < text.size() && std::isdigit(static_cast<unsigned char>(text[k]));
  };
  if (!isDigitAt(i) && !(i < text.size() && text[i] == '.' && isDigitAt(i + 1))) return 0;
  double value = 0;
  auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), value,
                                   std::chars_format::general);
  if (ec == std::errc::result_out_of_range)
    value = HUGE_VAL;  // refused as not finite
  else if (ec != std::errc())
    return 0;
  (void)end;
  return negative ? -value : value;
}

namespace {

bool equalsIgnoringCase(const std::string& a, const char* b) {
  return strcasecmp(a.c_str(), b) == 0;
}

// The key's own spelling when text names one of keys ignoring case.
template <std::size_t N>
const char* matchKey(const std::string& text, const char* const (&keys)[N]) {
  for (const char* key : keys)
    if (equalsIgnoringCase(text, key)) return key;
  return nullptr;
}

void replyWithText(AppleEventReply* reply, const char* text) {
  if (reply) *reply = Value(text);
}

void refuse(AppleEventReply* reply, const std::string& key, const std::string& value) {
  NSLog("INVALID parameterValue=[%s] for parameterName=[%s]", value.c_str(), key.c_str());
  replyWithText(reply, kReplyCommandFailed);
}

void unsupported(const std::string& key, const std::string& value) {
  NSLog("Unsupported keyname=[%s] and keyValue=[%s]", key.c_str(), value.c_str());
}

// Values are stored under the key's own spelling so that the agent's readers see them,
// whatever letter case the sender used.
void setValue(const std::string& key, const std::string& value, AppleEventReply* reply) {
  const char* const textKeys[] = {sPrefUserEnteredEventName, sUserLoginName, sUserLoginPassword};
  const char* const yesNoKeys[] = {sPrefShowPreviewWhenUploading, sPrefDeleteEmptyFtpFolders,
                                   sPrefAutoSynchronize, sPrefUseEventName};
  const char* const lastYesNoKeys[] = {sPrefAutoStartUploadAtStartup};
  const char* const deleteKeys[] = {sPrefUseDoDeleteOldPhotos};
  const char* const secondsKeys[] = {sPrefSecondsBetweenScans};
  const char* const daysKeys[] = {sPrefDaysOldBeforeDeleting};

  const char* yesNoKey = nullptr;
  if (const char* k = matchKey(key, textKeys)) {
    saveSettingToUserDefaults(Value(value), k);
    replyWithText(reply, kReplyCommandSuccess);
    return;
  } else if (const char* k2 = matchKey(key, yesNoKeys)) {
    yesNoKey = k2;
  } else if (const char* k3 = matchKey(key, secondsKeys)) {
    float f = static_cast<float>(leadingDecimalValue(value));
    if (!(f > 0) || !std::isfinite(f)) return refuse(reply, key, value);
    Value number(static_cast<double>(f));
    saveSettingToUserDefaults(number, k3);
    NSLog("theConverted NSNumber is: [%s]\n\n", number.description().c_str());
    replyWithText(reply, kReplyCommandSuccess);
    return;
  } else if (const char* k4 = matchKey(key, deleteKeys)) {
    yesNoKey = k4;
  } else if (const char* k5 = matchKey(key, daysKeys)) {
    float f = static_cast<float>(leadingDecimalValue(value));
    // Days beyond any 16-bit reader are refused rather than wrapped.
    if (!(f >= 1) || f > 32767) return refuse(reply, key, value);
    saveSettingToUserDefaults(Value(static_cast<long long>(std::trunc(f))), k5);
    replyWithText(reply, kReplyCommandSuccess);
    return;
  } else if (const char* k6 = matchKey(key, lastYesNoKeys)) {
    yesNoKey = k6;
  } else {
    unsupported(key, value);
    return refuse(reply, key, value);
  }
  if (!isValidYesNoString(value)) return refuse(reply, key, value);
  saveSettingToUserDefaults(Value(value), yesNoKey);
  replyWithText(reply, kReplyCommandSuccess);
}

void getValue(const std::string& command, const std::string& key, const std::string& third,
              AppleEventReply* reply) {
  const char* const textKeys[] = {sPrefUserEnteredEventName, sUserLoginName, sUserLoginPassword};
  const char* const secondsKeys[] = {sPrefSecondsBetweenScans};
  auto& store = DefaultsStore::standard();
  std::optional<std::string> v;
  if (const char* k = matchKey(key, textKeys)) {
    v = store.stringForKey(k);
    if (v) NSLog("Get Parameter value for keyName [%s] => [%s]", key.c_str(), v->c_str());
  } else if (const char* k2 = matchKey(key, secondsKeys)) {
    if (store.stringForKey(k2)) {
      double seconds = store.objectForKey(k2).value_or(Value()).doubleValue();
      v = stringWithFormat("%3.2f", seconds);
    }
  } else {
    unsupported(key, third);
    return replyWithText(reply, kReplyCommandFailed);
  }
  // A key without a value answers the plain text, as for every key without one.
  if (!v) return replyWithText(reply, kReplyCommandSuccess);
  if (reply) *reply = Value(Array{Value(kReplyCommandSuccess), Value(Array{command, key, *v})});
}

void handleCommandEvent(const AppleEvent& event, AppleEventReply* reply) {
  if (!reply) return;
  if (!event.directObject || event.directObject->empty()) {
    NSLog("Unable to Get descriptorForKeyword: keyDirectObject???\n");
    return replyWithText(reply, kReplyCommandFailed);
  }
  const Array& items = *event.directObject;
  const std::string* texts[3] = {};
  for (std::size_t i = 0; i < 3; ++i) texts[i] = i < items.size() ? items[i].asString() : nullptr;
  if (!texts[0] || !texts[1] || !texts[2]) {
    NSLog("The Command Line needs three texts; got %zu items", items.size());
    return replyWithText(reply, kReplyCommandFailed);
  }
  const std::string &command = *texts[0], &key = *texts[1], &value = *texts[2];
  NSLog("Got the Command Line = [%s] [%s] [%s]", command.c_str(), key.c_str(), value.c_str());
  if (equalsIgnoringCase(command, "setValue")) {
    setValue(key, value, reply);
  } else if (equalsIgnoringCase(command, "getValue")) {
    getValue(command, key, value, reply);
  } else {
    replyWithText(reply, kReplyCommandSuccess);
  }
}

}  // namespace

void handleTestAEHandler(RemoteEventTarget& target, const AppleEvent* event,
                         AppleEventReply* replyEvent) {
  if (!event) return;
  switch (event->eventID) {
    case kPauseEventID:
      target.forceProcessToPause();
      replyWithText(replyEvent, kReplyAccepted);
      break;
    case kUploadNowEventID:
      target.ibClickedOnSynchronizeAgain();
      replyWithText(replyEvent, kReplyAccepted);
      break;
    case kAEQuitApplication:
      NSLog("\n\nReceived kAEQuitApplication...\n\n");
      target.closeCurrentAlert();
      target.ibClickedOnQuit();
      break;
    case kCommandEventID:
      handleCommandEvent(*event, replyEvent);
      break;
    default:
      break;
  }
}

}  // namespace sorv
