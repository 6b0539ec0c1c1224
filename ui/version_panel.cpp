#include "ui/version_panel.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMouseEvent>
#include <QRandomGenerator>
#include <QTimer>
#include <QVBoxLayout>

#include "app/front_end.h"
#include "app/version_check.h"
#include "common/addresses.h"
#include "common/version.h"
#include "ui/widgets.h"

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

using namespace widgets;

constexpr int IconSize = 32;
constexpr int WanderIntervalMs = 300;
constexpr int ContentWidth = 480;  // wide enough for the longest line at twice the usual scale

}  // namespace

TVersionPanel::TVersionPanel(TDialogs& dialogs, QWidget* parent)
    : QWidget(parent), m_dialogs(dialogs), m_random([] { return QRandomGenerator::global()->bounded(100); }) {
    setObjectName(u"pnlVer"_s);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(24, 24, 12, 12);
    // The texts keep their width and stay in the middle of a large window.
    auto* content = Named(new QWidget, u"pnlVerContent"_s);
    content->setMaximumWidth(ContentWidth);
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    outer->addStretch();
    outer->addWidget(content, 0, Qt::AlignHCenter);

    auto* title = Named(Label(u"Fernwaypost"_s), u"lblTitle"_s);
    QFont big = title->font();
    big.setBold(true);
    big.setPointSize(big.pointSize() * 2);
    title->setFont(big);
    layout->addWidget(title);
    layout->addWidget(Named(Label(QString::fromUtf8(version::FileDescription)), u"lblDescription"_s));
    layout->addWidget(Named(Label(u"Version "_s + QString::fromUtf8(version::FileVersion)), u"lblVersion"_s));
    layout->addWidget(Named(Label(QString::fromUtf8(version::LegalCopyright)), u"lblCopyright"_s));
    layout->addWidget(Named(Label(QString::fromUtf8(version::PluginApiVersionText)), u"lblPluginApi"_s));
    layout->addSpacing(12);

    auto* links = new QGridLayout;
    links->addWidget(Label(u"mail: "_s), 0, 0);
    auto* lblMail = LinkLabel(u"lblMail"_s, FromUtf8(MailAddress), u"mailto:"_s + FromUtf8(MailAddress));
    links->addWidget(lblMail, 0, 1);
    links->addWidget(Label(u"homepage: "_s), 1, 0);
    auto* lblHP = LinkLabel(u"lblHP"_s, FromUtf8(HomePageURL), FromUtf8(HomePageURL));
    links->addWidget(lblHP, 1, 1);
    links->setColumnStretch(1, 1);
    layout->addLayout(links);
    for (QLabel* link : {lblMail, lblHP})
        connect(link, &QLabel::linkActivated, this, [this](const QString& url) {
            if (OnOpenUrl)
                OnOpenUrl(url);
        });
    outer->addStretch();

    auto* button8 = RightButton(outer, u"Button8"_s, u"閉じる(&C)"_s);
    connect(button8, &QPushButton::clicked, this, [this] {
        Stop();
        if (OnClose)
            OnClose();
    });

    // The icon lies over the panel, outside the layout, so that it can roam.
    m_imgIcon = Named(new QLabel(this), u"imgIcon"_s);
    m_imgIcon->setPixmap(QIcon(u":/fernwaypost/icons/fernwaypost-32.png"_s).pixmap(IconSize, IconSize));
    m_imgIcon->resize(IconSize, IconSize);
    m_imgIcon->setCursor(Qt::PointingHandCursor);
    m_imgIcon->installEventFilter(this);
    m_tmVersion = Named(new QTimer(this), u"tmVersion"_s);
    m_tmVersion->setInterval(WanderIntervalMs);
    connect(m_tmVersion, &QTimer::timeout, this, [this] { Wander(); });
}

void TVersionPanel::Open() {
    if (!m_placed) {
        // It starts at the right, level with the title.
        m_imgIcon->move(width() - IconSize - 40, 24);
        m_placed = true;
    }
    m_imgIcon->raise();
    m_imgIcon->setEnabled(true);
    m_tmVersion->start();
}

void TVersionPanel::Stop() {
    m_tmVersion->stop();
}

void TVersionPanel::Wander() {
    const TIconPlace place = WanderStep({m_imgIcon->x(), m_imgIcon->y()}, m_random(), m_imgIcon->width(),
                                        m_imgIcon->height(), width(), height());
    m_imgIcon->move(place.Left, place.Top);
}

void TVersionPanel::Caught() {
    // Caught once per showing: the icon stops and takes no more clicks.
    m_tmVersion->stop();
    m_imgIcon->setEnabled(false);
    m_dialogs.MessageBox("つかまっちった(*´д｀*)", "Fernwaypost", TBoxIcon::biInformation);
}

bool TVersionPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_imgIcon && event->type() == QEvent::MouseButtonRelease && m_imgIcon->isEnabled() &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        Caught();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace fwp
