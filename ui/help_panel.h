#pragma once

#include <functional>

#include <QUrl>
#include <QWidget>

class QTextBrowser;

namespace fwp {

// The help panel ("pnlHelp"): the help pages that come inside the program,
// in a browser with "戻る" and "目次", and a link to the online help.
class THelpPanel final : public QWidget {
    Q_OBJECT

public:
    explicit THelpPanel(QWidget* parent = nullptr);

    // The first help page, the table of contents.
    static QUrl IndexPage();

    // The panel is shown: it opens on the table of contents.
    void Open();

    std::function<void(const QString& url)> OnOpenUrl;
    std::function<void()> OnClose;

private:
    QTextBrowser* m_browser = nullptr;
};

}  // namespace fwp
