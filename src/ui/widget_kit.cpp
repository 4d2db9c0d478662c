#include "ui/widget_kit.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "ui/model_binding.h"

namespace gw::ui {

QLabel* Caption(const char* name, const QString& text) {
    auto* label = new QLabel(text);
    if (name != nullptr) label->setObjectName(name);
    return label;
}

QLabel* Value(const char* name, const QString& initial, bool blue) {
    QLabel* label = Caption(name, initial);
    if (blue) label->setStyleSheet("QLabel { color: blue; } QLabel:disabled { color: gray; }");
    return label;
}

QLineEdit* Field(const char* name, int width) {
    auto* field = new QLineEdit;
    field->setObjectName(name);
    field->setReadOnly(true);
    if (width > 0) field->setFixedWidth(width);
    return field;
}

QCheckBox* Box(const char* name, const QString& text) {
    auto* box = new QCheckBox(text);
    box->setObjectName(name);
    return box;
}

QGroupBox* Group(const char* name, const QString& title) {
    auto* group = new QGroupBox(title);
    group->setObjectName(name);
    return group;
}

UpDownPair MakeUpDown(const char* field_name, const char* arrows_name, int width) {
    UpDownPair pair{Field(field_name, width), new UpDownButtons(arrows_name), new QHBoxLayout};
    pair.Layout->setSpacing(0);
    pair.Layout->addWidget(pair.Field);
    pair.Layout->addWidget(pair.Arrows);
    return pair;
}

PageParts MakePage(const char* name) {
    auto* page = new QWidget;
    page->setObjectName(name);
    return {page, new QVBoxLayout(page)};
}

QHBoxLayout* Row(std::initializer_list<QObject*> items, bool stretch_at_end) {
    auto* row = new QHBoxLayout;
    for (QObject* item : items) {
        if (auto* widget = qobject_cast<QWidget*>(item)) {
            row->addWidget(widget);
        } else if (auto* layout = qobject_cast<QLayout*>(item)) {
            row->addLayout(layout);
        }
    }
    if (stretch_at_end) row->addStretch();
    return row;
}

}  // namespace gw::ui
