#include "ui/Bindings.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QSpinBox>
#include <QVariant>

#include "settings/DefaultsStore.h"
#include "ui/PrefsSeams.h"

namespace sorv {

PrefBindings::PrefBindings(QWidget* root) {
  for (QWidget* widget : root->findChildren<QWidget*>()) {
    QVariant key = widget->property("prefKey");
    if (key.isValid() && !key.toString().isEmpty()) bind(widget, key.toString().toStdString());
  }
  for (const auto& entry : widgets_) refresh(entry.first);
  storeObserver_ = DefaultsStore::standard().addObserver([this](const std::string& key) {
    QMetaObject::invokeMethod(
        this,
        [this, key] {
          refresh(key);
          if (observer_) observer_(key);
        },
        Qt::QueuedConnection);
  });
}

PrefBindings::~PrefBindings() {
  DefaultsStore::standard().removeObserver(storeObserver_);
}

void PrefBindings::bind(QWidget* widget, const std::string& key) {
  widgets_.emplace(key, widget);
  auto& store = DefaultsStore::standard();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    connect(edit, &QLineEdit::textEdited, this, [&store, key](const QString& text) {
      store.setObject(Value(text.toStdString()), key);
    });
  } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
    connect(check, &QCheckBox::toggled, this, [this, &store, key](bool on) {
      if (!refreshing_) store.setBool(on, key);
    });
  } else if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
    connect(spin, &QSpinBox::valueChanged, this, [this, &store, key](int value) {
      if (!refreshing_) store.setInteger(value, key);
    });
  }
}

void PrefBindings::refresh(const std::string& key) {
  auto range = widgets_.equal_range(key);
  if (range.first == range.second) return;
  auto& store = DefaultsStore::standard();
  refreshing_ = true;
  for (auto it = range.first; it != range.second; ++it) {
    QWidget* widget = it->second;
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
      QString text = QString::fromStdString(store.stringForKey(key).value_or(""));
      if (edit->text() != text) edit->setText(text);
    } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
      check->setChecked(store.boolForKey(key));
    } else if (auto* spin = qobject_cast<QSpinBox*>(widget)) {
      spin->setValue(static_cast<int>(store.integerForKey(key)));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      std::string value = store.stringForKey(key).value_or("");
      std::string transformer = widget->property("transformer").toString().toStdString();
      label->setText(QString::fromStdString(transformedValue(transformer, value)));
      label->setToolTip(QString::fromStdString(value));
    }
  }
  refreshing_ = false;
}

}  // namespace sorv
