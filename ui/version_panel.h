#pragma once

#include <functional>

#include <QWidget>

class QLabel;
class QTimer;

namespace fwp {

class TDialogs;

// The version panel ("pnlVer"): the program's version texts, the links to
// the mail address and the home page, and a small game: while the panel is
// shown the program's icon wanders up and mostly to the left, coming back at
// the bottom or the right edge, until it is caught with a click.
class TVersionPanel final : public QWidget {
    Q_OBJECT

public:
    explicit TVersionPanel(TDialogs& dialogs, QWidget* parent = nullptr);

    // The panel is shown: the game starts (again).
    void Open();
    // "閉じる(&C)" or the panel put away: the game stops.
    void Stop();

    // One step of the icon; the timer does this every 300 ms.
    void Wander();
    // Where each step's random number r (0 to 99) comes from.
    void SetRandomSource(std::function<int()> random) { m_random = std::move(random); }

    std::function<void(const QString& url)> OnOpenUrl;
    std::function<void()> OnClose;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Caught();

    TDialogs& m_dialogs;
    QLabel* m_imgIcon = nullptr;
    QTimer* m_tmVersion = nullptr;
    bool m_placed = false;
    std::function<int()> m_random;
};

}  // namespace fwp
