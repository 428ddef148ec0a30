#include "ui/Alerts.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <mutex>

#include "platform/Bundle.h"
#include "platform/Console.h"
#include "platform/Plist.h"
#include "platform/RunLoop.h"
#include "settings/DefaultsStore.h"

namespace sorv {

namespace {

std::mutex presenterMutex;
AlertPresenter presenter;

bool hasWindows() {
  return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

QString displayText(const std::string& text) {
  QString s = QString::fromStdString(text);
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

// The message box's buttons in the order default, alternate, other, with their results.
int runMessageBox(const AlertSpec& alert, QWidget* sheetParent) {
  auto* box = new QMessageBox(sheetParent);
  box->setWindowTitle(displayText(alert.title));
  box->setText(displayText(alert.title));
  box->setInformativeText(displayText(alert.message));
  QPushButton* def =
      box->addButton(QString::fromStdString(alert.defaultButton), QMessageBox::AcceptRole);
  QPushButton* alt =
      alert.alternateButton
          ? box->addButton(QString::fromStdString(*alert.alternateButton), QMessageBox::RejectRole)
          : nullptr;
  QPushButton* other =
      alert.otherButton
          ? box->addButton(QString::fromStdString(*alert.otherButton), QMessageBox::ActionRole)
          : nullptr;
  box->setDefaultButton(def);
  if (sheetParent) {
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return kAlertUnavailable;
  }
  box->exec();
  QAbstractButton* clicked = box->clickedButton();
  int result = clicked == alt && alt       ? kAlertAlternate
               : clicked == other && other ? kAlertOther
                                           : kAlertDefault;
  delete box;
  return result;
}

int defaultPresenter(const AlertSpec& alert, QWidget* sheetParent) {
  if (!hasWindows()) {
    NSLogText("Alert: " + alert.title + " - " + alert.message + " [" + alert.defaultButton + "]");
    return kAlertDefault;
  }
  int result = kAlertDefault;
  QPointer<QWidget> parent(sheetParent);
  mainRunLoop().postAndWait(
      [&] { result = runMessageBox(alert, sheetParent && parent ? parent.data() : nullptr); });
  return result;
}

int present(const AlertSpec& alert, QWidget* sheetParent) {
  AlertPresenter fn;
  {
    std::lock_guard<std::mutex> lock(presenterMutex);
    fn = presenter;
  }
  return fn ? fn(alert, sheetParent) : defaultPresenter(alert, sheetParent);
}

// The modal panel shown when the resource or its entry is missing.
void showMissingResource(const std::string& resource, const std::string& key) {
  AlertSpec alert;
  alert.title = "Unable to Find Resource For:";
  alert.message = "name.strings = \"" + resource + "\"\rkey = \"" + key + "\"";
  alert.defaultButton = "OK";
  present(alert, nullptr);
}

// The language code of a locale variable: "en_US.UTF-8" gives "en", "es:en" gives "es".
std::string languagePart(const std::string& value) {
  std::string code = value.substr(0, value.find_first_of(":_.@"));
  if (code == "C" || code == "POSIX") return {};
  return code;
}

std::string optionalText(const Dict& entry, const char* field, std::string fallback) {
  const std::string* text = dictGetString(entry, field);
  return text ? *text : fallback;
}

}  // namespace

void setAlertPresenter(AlertPresenter fn) {
  std::lock_guard<std::mutex> lock(presenterMutex);
  presenter = std::move(fn);
}

std::string getPreferredLanguage() {
  std::string first;
  if (auto languages = DefaultsStore::standard().objectForKey("AppleLanguages")) {
    if (const Array* list = languages->asArray()) {
      if (!list->empty() && list->front().asString()) first = *list->front().asString();
    } else if (const std::string* text = languages->asString()) {
      first = *text;
    }
  } else {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(name);
      if (value && *value) {
        first = languagePart(value);
        break;
      }
    }
  }
  if (first.empty()) return "English";
  if (first == "en") return "English";
  if (first == "es") return "Spanish";
  NSLog("NOT translated = %s", first.c_str());
  return first;
}

std::string formatAlertMessage(const std::string& format, const std::optional<std::string>& a1,
                               const std::optional<std::string>& a2) {
  std::string out;
  int used = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == '@') {
      const std::optional<std::string>& arg = used == 0 ? a1 : a2;
      if (used < 2) out += arg ? *arg : "(null)";
      ++used;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

std::optional<AlertSpec> alertFromResource(const std::string& resource, const std::string& key,
                                           const std::optional<std::string>& a1,
                                           const std::optional<std::string>& a2) {
  std::string language = getPreferredLanguage();
  // A language code is a folder name here; one that could leave the resources is refused.
  if (language.find('/') != std::string::npos || language == "..") return std::nullopt;
  std::string path = Bundle::resourcesPath() + "/" + language + ".lproj/" + resource + ".strings";
  auto parsed = plist::parseFile(path, nullptr, 1u << 20);
  const Dict* dict = parsed ? parsed->asDict() : nullptr;
  const Dict* entry = dict ? dictGetDict(*dict, key) : nullptr;
  if (!entry) return std::nullopt;
  AlertSpec alert;
  alert.title = optionalText(*entry, "title", "NO INFO");
  alert.message =
      formatAlertMessage(optionalText(*entry, "mesg", "(No Further Info Given)"), a1, a2);
  alert.defaultButton = optionalText(*entry, "defaultButton", "OK");
  if (const std::string* alt = dictGetString(*entry, "alternateButton"))
    alert.alternateButton = *alt;
  if (const std::string* other = dictGetString(*entry, "otherAltButton"))
    alert.otherButton = *other;
  return alert;
}

int myNSRunAlertPanel(const std::string& resource, const std::string& key,
                      const std::optional<std::string>& a1, const std::optional<std::string>& a2) {
  auto alert = alertFromResource(resource, key, a1, a2);
  if (!alert) {
    showMissingResource(resource, key);
    return kAlertUnavailable;
  }
  return present(*alert, nullptr);
}

int myNSRunAlertPanelOnWindow(QWidget*, QWidget* window, const std::string& resource,
                              const std::string& key, const std::optional<std::string>& a1,
                              const std::optional<std::string>& a2) {
  auto alert = alertFromResource(resource, key, a1, a2);
  if (!alert) {
    showMissingResource(resource, key);
    return kAlertUnavailable;
  }
  present(*alert, window);
  return kAlertUnavailable;
}

}  // namespace sorv
