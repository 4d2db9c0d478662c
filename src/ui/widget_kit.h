// Small makers for the window's named widgets, so that the tabs read as the lists of controls
// they are. Every widget gets its control name as objectName.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QObject>
#include <QString>
#include <initializer_list>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QLayout;
class QWidget;
class QHBoxLayout;
class QVBoxLayout;

namespace gw::ui {

class UpDownButtons;

QLabel* Caption(const char* name, const QString& text);
// A label that shows a value; blue where the window marks values in colour.
QLabel* Value(const char* name, const QString& initial, bool blue = false);
// A read-only field; `width` 0 leaves it to the layout.
QLineEdit* Field(const char* name, int width = 0);
QCheckBox* Box(const char* name, const QString& text = QString());
QGroupBox* Group(const char* name, const QString& title);

struct UpDownPair {
    QLineEdit* Field;
    UpDownButtons* Arrows;
    QHBoxLayout* Layout;  // the field and its arrows, side by side
};
UpDownPair MakeUpDown(const char* field_name, const char* arrows_name, int width);

// A page of the window, its rows stacked top to bottom. Margins and spacing are the window's,
// the same on every page.
struct PageParts {
    QWidget* Page;
    QVBoxLayout* Layout;
};
PageParts MakePage(const char* name);

// Lays widgets and layouts out in one row, tightly.
QHBoxLayout* Row(std::initializer_list<QObject*> items, bool stretch_at_end = true);

}  // namespace gw::ui
