// Tags and titles on widgets, so that the window code finds controls the way the window
// resources mark them: a "tag" integer property, a box's title, a button's image name.
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>
#include <optional>

#include "app/AppView.h"

namespace sorv {

inline constexpr const char* kTagProperty = "tag";
inline constexpr const char* kImageNameProperty = "imageName";  // e.g. "DownloadReveal"
// A box's title as the window code knows it ("nsbox1"), when it displays another.
inline constexpr const char* kBoxTitleProperty = "boxTitle";

// The widget's tag, or 0 when it has none (as an untagged control).
int tagOf(const QWidget* widget);
void setTag(QWidget* widget, int tag);
// The first widget at any depth below root (or root itself) with the tag, or nullptr.
QWidget* viewWithTag(QWidget* root, int tag);

// A control is a widget the operator acts on or reads a value from (not a box or a page).
bool isControl(const QWidget* widget);
// The title of a box (its "boxTitle", else its shown title) or a button; nullopt for widgets
// without one.
std::optional<QString> titleOf(const QWidget* widget);

// Enables or disables the direct children of view: controls directly (tag -99 and the
// "DownloadReveal" buttons are left alone; tag -100 labels turn black or grey), other views
// by recursion.
void viewSetEnabled(QWidget* view, bool flag);
// The first direct child of view whose title equals title ignoring case, or nullptr.
QWidget* findSubView(QWidget* view, const QString& title);

// Black or red (error) or grey (disabled label) text.
void setTextColor(QWidget* widget, const char* colorName);

// A widget as the controller's control (a button it retitles, enables or disables). Used on
// the GUI thread.
class QtControl : public AppControl {
 public:
  explicit QtControl(QWidget* widget) : widget_(widget) {}
  void setTitle(const std::string& title) override;
  void setEnabled(bool enabled) override;
  QWidget* widget() const { return widget_; }

 private:
  QPointer<QWidget> widget_;
};

}  // namespace sorv
