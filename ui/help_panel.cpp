#include "ui/help_panel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "common/addresses.h"
#include "ui/widgets.h"

using namespace Qt::StringLiterals;

namespace fwp {
using namespace widgets;

QUrl THelpPanel::IndexPage() {
    return QUrl(u"qrc:/fernwaypost/help/index.html"_s);
}

THelpPanel::THelpPanel(QWidget* parent) : QWidget(parent) {
    setObjectName(u"pnlHelp"_s);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);

    auto* navigation = new QHBoxLayout;
    auto* back = Button(u"btHelpBack"_s, u"戻る"_s);
    auto* home = Button(u"btHelpHome"_s, u"目次"_s);
    navigation->addWidget(back);
    navigation->addWidget(home);
    navigation->addStretch();
    navigation->addWidget(Label(u"最新の情報:"_s));
    auto* online = LinkLabel(u"lblOnlineHelp"_s, u"オンラインヘルプ"_s, FromUtf8(OnlineHelpURL));
    online->setToolTip(FromUtf8(OnlineHelpURL));
    navigation->addWidget(online);
    layout->addLayout(navigation);

    m_browser = Named(new QTextBrowser, u"WebBrowser1"_s);
    // Pages of the program open here; any other address goes to the desktop's handler.
    m_browser->setOpenLinks(false);
    layout->addWidget(m_browser, 1);

    auto* button4 = RightButton(layout, u"Button4"_s, u"閉じる(&C)"_s);

    const auto openUrl = [this](const QUrl& url) {
        if (OnOpenUrl)
            OnOpenUrl(url.toString());
    };
    connect(m_browser, &QTextBrowser::anchorClicked, this, [this, openUrl](const QUrl& link) {
        const QUrl url = m_browser->source().resolved(link);
        if (url.scheme() == u"qrc"_s)
            m_browser->setSource(url);
        else
            openUrl(url);
    });
    connect(m_browser, &QTextBrowser::backwardAvailable, back, &QPushButton::setEnabled);
    back->setEnabled(false);
    connect(back, &QPushButton::clicked, m_browser, &QTextBrowser::backward);
    connect(home, &QPushButton::clicked, m_browser, &QTextBrowser::home);
    connect(online, &QLabel::linkActivated, this, [openUrl](const QString& url) { openUrl(QUrl(url)); });
    connect(button4, &QPushButton::clicked, this, [this] {
        if (OnClose)
            OnClose();
    });
    m_browser->setSource(IndexPage());
}

void THelpPanel::Open() {
    if (m_browser->source() != IndexPage())
        m_browser->setSource(IndexPage());
}

}  // namespace fwp
