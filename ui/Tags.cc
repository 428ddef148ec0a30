#include "ui/Tags.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPointer>
#include <QProgressBar>
#include <QTextEdit>
#include <QVariant>

namespace sorv {

int tagOf(const QWidget* widget) {
  if (!widget) return 0;
  QVariant tag = widget->property(kTagProperty);
  return tag.isValid() ? tag.toInt() : 0;
}

void setTag(QWidget* widget, int tag) {
  if (widget) widget->setProperty(kTagProperty, tag);
}

QWidget* viewWithTag(QWidget* root, int tag) {
  if (!root) return nullptr;
  if (tagOf(root) == tag && root->property(kTagProperty).isValid()) return root;
  for (QWidget* child : root->findChildren<QWidget*>())
    if (child->property(kTagProperty).isValid() && tagOf(child) == tag) return child;
  return nullptr;
}

bool isControl(const QWidget* widget) {
  return qobject_cast<const QAbstractButton*>(widget) || qobject_cast<const QLineEdit*>(widget) ||
         qobject_cast<const QLabel*>(widget) || qobject_cast<const QAbstractSpinBox*>(widget) ||
         qobject_cast<const QComboBox*>(widget) || qobject_cast<const QAbstractSlider*>(widget) ||
         qobject_cast<const QTextEdit*>(widget) || qobject_cast<const QProgressBar*>(widget);
}

std::optional<QString> titleOf(const QWidget* widget) {
  if (!widget) return std::nullopt;
  if (QVariant title = widget->property(kBoxTitleProperty); title.isValid())
    return title.toString();
  if (auto* box = qobject_cast<const QGroupBox*>(widget)) return box->title();
  if (auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  return std::nullopt;
}

void setTextColor(QWidget* widget, const char* colorName) {
  if (!widget) return;
  QPointer<QWidget> guard(widget);
  QString sheet = QStringLiteral("color: %1;").arg(QLatin1String(colorName));
  // Asked of the GUI thread without waiting; a widget gone by then is skipped.
  QMetaObject::invokeMethod(
      widget,
      [guard, sheet] {
        if (guard) guard->setStyleSheet(sheet);
      },
      Qt::QueuedConnection);
}

namespace {
// Layout-less helpers and Qt's own internals (scroll bars of a text edit, a tab bar) are not
// the resource's views; only widgets named in the resource take part.
bool isResourceWidget(const QWidget* widget) {
  QString name = widget->objectName();
  return !name.isEmpty() && !name.startsWith(QLatin1String("qt_"));
}
}  // namespace

void viewSetEnabled(QWidget* view, bool flag) {
  if (!view) return;
  for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (!isResourceWidget(child)) continue;
    if (isControl(child)) {
      if (tagOf(child) == -99) continue;
      if (qobject_cast<QAbstractButton*>(child) &&
          child->property(kImageNameProperty)
                  .toString()
                  .compare(QLatin1String("DownloadReveal"), Qt::CaseInsensitive) == 0)
        continue;
      child->setEnabled(flag);
      if (tagOf(child) == -100) setTextColor(child, flag ? "black" : "grey");
    } else {
      viewSetEnabled(child, flag);
    }
  }
}

QWidget* findSubView(QWidget* view, const QString& title) {
  if (!view) return nullptr;
  for (QWidget* child : view->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    auto own = titleOf(child);
    if (own && own->compare(title, Qt::CaseInsensitive) == 0) return child;
  }
  return nullptr;
}

void QtControl::setTitle(const std::string& title) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget_.data()))
    button->setText(QString::fromStdString(title));
}

void QtControl::setEnabled(bool enabled) {
  if (widget_) widget_->setEnabled(enabled);
}

}  // namespace sorv
