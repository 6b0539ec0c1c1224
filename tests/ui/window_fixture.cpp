#include "tests/ui/window_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include "ui/task_list_model.h"
#include "ui/task_list_view.h"

namespace fwp::test {

namespace {
constexpr const char* Schemes[] = {"http", "https", "mailto", "file"};
}

TUrlRecorder::TUrlRecorder() {
    for (const char* scheme : Schemes)
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
}

TUrlRecorder::~TUrlRecorder() {
    for (const char* scheme : Schemes)
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void TWindowTest::CreateWindow(const std::function<void(TConfig&)>& adjust) {
    TConfigPlaces places;
    places.ExeFolder = box.Folder("program");
    places.Home = box.Folder("home");
    config = std::make_unique<TConfig>(box.Path("config.ini"), places);
    config->Load();
    config->FirstRunning = false;
    config->UseUPnP = false;
    config->UseEasyConnection = false;
    config->ReceiveTo = box.Folder("received").string() + "/";
    if (adjust)
        adjust(*config);
    window = std::make_unique<TMainWindow>(loop, *config, dialogs, Q(box.Folder("temp").string()));
}

void TWindowTest::Activate() {
    window->activateWindow();
    ASSERT_TRUE(RunUntil([&] { return QApplication::activeWindow() == window.get(); }, 10s));
}

void TWindowTest::ClickIn(const char* parent, const char* button) {
    QWidget* container = parent ? Find<QWidget>(parent) : window.get();
    auto* widget = container ? container->findChild<QPushButton*>(QString::fromUtf8(button)) : nullptr;
    ASSERT_NE(widget, nullptr) << "no control named " << button << " in " << (parent ? parent : "the window");
    ASSERT_TRUE(widget->isEnabled()) << button << " is disabled";
    QTest::mouseClick(widget, Qt::LeftButton);
}

void TWindowTest::ConnectTo(int port) {
    Click("plButton2");
    Find<QRadioButton>("rbDirect")->setChecked(true);
    Find<QComboBox>("cbConnectTo")->setEditText(QStringLiteral("127.0.0.1"));
    Find<QLineEdit>("edtPort")->setText(QString::number(port));
    Click("btStartClient");
}

void TWindowTest::ConnectToPeer(TPeer& peer) {
    const int port = peer.Listen();
    auto accepted = peer.AcceptAndStart();
    ConnectTo(port);
    ASSERT_TRUE(accepted.get());
    ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
}

QWidget* TWindowTest::CurrentPanel() const {
    return Find<QStackedWidget>("Panels")->currentWidget();
}

QWidget* TWindowTest::CurrentPage() const {
    return Find<QStackedWidget>("pcMode")->currentWidget();
}

int TWindowTest::RowCount() const {
    return window->TaskModel().rowCount();
}

std::string TWindowTest::Cell(int row, int column) const {
    return U(window->TaskModel().index(row, column).data().toString());
}

int TWindowTest::FindRow(const std::string& caption, const std::string& contentStart) const {
    for (int row = RowCount() - 1; row >= 0; --row)
        if (Cell(row, 0) == caption && Cell(row, 1).starts_with(contentStart))
            return row;
    return -1;
}

std::string TWindowTest::RowsText() const {
    std::string text;
    for (int row = 0; row < RowCount(); ++row)
        text += Cell(row, 0) + " | " + Cell(row, 1) + " | " + Cell(row, 2) + " | " + Cell(row, 3) + "\n";
    return text;
}

void TWindowTest::SelectRow(int row) {
    window->TaskList().selectionModel()->select(
        window->TaskModel().index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TWindowTest::ClickRow(int row) {
    TTaskListView& list = window->TaskList();
    const QRect cell = list.visualRect(window->TaskModel().index(row, 1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

void TWindowTest::Answer(int row, const char* action) {
    ClickRow(row);
    auto* menu = Find<QMenu>("pmReceiveOrNot");
    ASSERT_TRUE(menu->isVisible());
    menu->close();
    Find<QAction>(action)->trigger();
}

TScriptedDialogs::TBox TWindowTest::LastBox() const {
    if (dialogs.Boxes.empty()) {
        ADD_FAILURE() << "no box was shown";
        return {};
    }
    return dialogs.Boxes.back();
}

void TWindowTest::ExpectBox(const std::string& text, const std::string& title, TBoxIcon icon) const {
    ASSERT_EQ(dialogs.Boxes.size(), 1u);
    EXPECT_EQ(dialogs.Boxes[0].Text, text);
    EXPECT_EQ(dialogs.Boxes[0].Title, title);
    EXPECT_EQ(dialogs.Boxes[0].Icon, icon);
}

bool TWindowTest::Listening() const {
    return window->Controller().Mode() == TWindowMode::mdWaiting &&
           window->Controller().Transer().Listening();
}

void TWindowTest::When(std::function<bool()> condition, std::function<void()> action) {
    auto* poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout,
                     [poll, condition = std::move(condition), action = std::move(action)] {
                         if (!condition())
                             return;
                         poll->stop();
                         poll->deleteLater();
                         action();
                     });
    poll->start();
}

bool SawLine(TProcess& process, const std::string& line) {
    while (process.ReadLine(5ms)) {
    }
    return std::ranges::find(process.Lines(), line) != process.Lines().end();
}

}  // namespace fwp::test
