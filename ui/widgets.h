// Internal to ui/.
#pragma once

#include <string>
#include <string_view>

#include <QBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QString>

// Small helpers the window and its panels share.
namespace fwp::widgets {

inline QString FromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string ToUtf8(const QString& text) {
    return text.toStdString();
}

// Every control carries the design's name as its object name.
template <typename T>
T* Named(T* widget, const QString& name) {
    widget->setObjectName(name);
    return widget;
}

// A label whose text is shown as it is, never read as markup.
inline QLabel* Label(const QString& text, QWidget* parent = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

inline QPushButton* Button(const QString& name, const QString& text) {
    return Named(new QPushButton(text), name);
}

// A button at the right end of a row of its own below what layout holds.
inline QPushButton* RightButton(QBoxLayout* layout, const QString& name, const QString& text) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* button = Button(name, text);
    row->addWidget(button);
    layout->addLayout(row);
    return button;
}

// A label showing text as a link (blue, underlined, the hand cursor) to url.
QLabel* LinkLabel(const QString& name, const QString& text, const QString& url);

}  // namespace fwp::widgets
