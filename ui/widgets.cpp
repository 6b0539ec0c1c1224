#include "ui/widgets.h"

using namespace Qt::StringLiterals;

namespace fwp::widgets {

QLabel* LinkLabel(const QString& name, const QString& text, const QString& url) {
    auto* label = Named(new QLabel, name);
    label->setTextFormat(Qt::RichText);
    label->setText(u"<a href=\"%1\">%2</a>"_s.arg(url.toHtmlEscaped(), text.toHtmlEscaped()));
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setCursor(Qt::PointingHandCursor);
    return label;
}

}  // namespace fwp::widgets
