// Alerts whose texts come from a localised strings resource
// (Resources/<Language>.lproj/<resource>.strings, a property-list dictionary of alert key to
// {title, mesg, defaultButton, alternateButton, otherAltButton}).
#pragma once

#include <functional>
#include <optional>
#include <string>

class QWidget;

namespace sorv {

// Button results: 1 default, 0 alternate, -1 other; -2 when the alert could not be shown from
// the resource.
inline constexpr int kAlertDefault = 1, kAlertAlternate = 0, kAlertOther = -1,
                     kAlertUnavailable = -2;

struct AlertSpec {
  std::string title, message, defaultButton;
  std::optional<std::string> alternateButton, otherButton;
};

// Shows an alert: modal when sheetParent is nullptr (gives the button result), else as a
// window-modal sheet on it (the result is not used). The default shows a QMessageBox on the
// GUI thread when there is a QApplication with windows, else writes one console line and
// gives the default answer.
using AlertPresenter = std::function<int(const AlertSpec& alert, QWidget* sheetParent)>;
void setAlertPresenter(AlertPresenter presenter);  // empty: the default again (tests)

// "English" for a first preferred language "en", "Spanish" for "es", any other code as it is
// (logged), "English" when there is none.
std::string getPreferredLanguage();

// The entry of key in the strings resource for the preferred language, with the defaults of
// missing fields filled in; nullopt when the file, the dictionary or the entry is missing.
std::optional<AlertSpec> alertFromResource(const std::string& resource, const std::string& key,
                                           const std::optional<std::string>& a1,
                                           const std::optional<std::string>& a2);

int myNSRunAlertPanel(const std::string& resource, const std::string& key,
                      const std::optional<std::string>& a1 = std::nullopt,
                      const std::optional<std::string>& a2 = std::nullopt);
// Shows the alert as a sheet on window and gives -2 at once. delegate is kept for the call's
// shape; the sheet has no end handler.
int myNSRunAlertPanelOnWindow(QWidget* delegate, QWidget* window, const std::string& resource,
                              const std::string& key,
                              const std::optional<std::string>& a1 = std::nullopt,
                              const std::optional<std::string>& a2 = std::nullopt);

// "%@" placeholders filled in order with a1 and a2 ("(null)" for a missing one); further
// placeholders are left empty.
std::string formatAlertMessage(const std::string& format, const std::optional<std::string>& a1,
                               const std::optional<std::string>& a2);

}  // namespace sorv
