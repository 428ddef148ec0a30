// Built-in values of the application controller.
#pragma once

#include <string>

namespace sorv {

// The login used until the preferences hold one; no site account has this name.
inline constexpr const char* kPlaceholderUserName = "kiosk-unset";
inline constexpr const char* kPlaceholderPassword = "kiosk-unset";
// Shown after the login name in the main window, as the site knows its accounts.
inline constexpr const char* kSiteDomainSuffix = "@sorvphoto.net";
// Site accounts of clients whose images may be uploaded without embedded metadata.
inline constexpr const char* kClientLoginNames[] = {"garnet", "hollin", "isling", "jorvik"};
// The one client whose uploads carry a made sitting ("sittingid" = base ID).
inline constexpr const char* kSittingClientLoginName = "isling";
// The preferences window's hint text, never a real event name.
inline constexpr const char* kEventNameHintText = "turnOnCheckBoxIfUsingThisOption";
// Auto-synchronise interval when "prefSecondsBetweenScans" is absent.
inline constexpr double kDefaultSecondsBetweenScans = 120.0;
// The shortest auto-synchronise interval taken from the defaults store.
inline constexpr double kMinSecondsBetweenScans = 1.0;
// Format of capture times and of the next-trigger text.
inline constexpr const char* kDateFormat = "%Y-%m-%d %H:%M:%S";

// A wall-clock time as local time in kDateFormat.
std::string formatCycleDate(double secondsSince1970);

}  // namespace sorv
