#include "tests/ui/window_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QLineEdit>
#include <QRadioButton>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>

#include "ui/task_list_model.h"
#include "ui/task_list_view.h"

namespace fwp::test {

QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string U(const QString& text) {
    return text.toStdString();
}

void TScriptedDialogs::Open() {
    if (WhileOpen)
        WhileOpen();
}

TBoxAnswer TScriptedDialogs::MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                                        TBoxButtons buttons) {
    Boxes.push_back({std::string(text), std::string(title), icon, buttons});
    Open();
    if (!Answers.empty()) {
        const TBoxAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    return buttons == TBoxButtons::bbOk ? TBoxAnswer::baOk : TBoxAnswer::baCancel;
}

std::vector<std::filesystem::path> TScriptedDialogs::OpenFiles(std::string_view title) {
    OpenTitles.emplace_back(title);
    Open();
    if (OpenAnswers.empty())
        return {};
    auto files = OpenAnswers.front();
    OpenAnswers.pop_front();
    return files;
}

std::optional<std::filesystem::path> TScriptedDialogs::SaveFile(std::string_view title,
                                                                std::string_view proposedName,
                                                                bool overwritePrompt) {
    Saves.push_back({std::string(title), std::string(proposedName), overwritePrompt});
    Open();
    if (SaveAnswers.empty())
        return std::nullopt;
    auto path = SaveAnswers.front();
    SaveAnswers.pop_front();
    return path;
}

std::optional<std::filesystem::path> TScriptedDialogs::ChooseFolder(std::string_view title) {
    FolderTitles.emplace_back(title);
    Open();
    if (FolderAnswers.empty())
        return std::nullopt;
    auto folder = FolderAnswers.front();
    FolderAnswers.pop_front();
    return folder;
}

TUrlRecorder::TUrlRecorder() {
    for (const char* scheme : {"http", "https", "mailto", "file"})
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "Open");
}

TUrlRecorder::~TUrlRecorder() {
    for (const char* scheme : {"http", "https", "mailto", "file"})
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void TUrlRecorder::Open(const QUrl& url) {
    Urls.push_back(U(url.toString()));
}

TWindowTest::TWindowTest() = default;

TWindowTest::~TWindowTest() {
    window.reset();
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

void TWindowTest::MakeWindow(const std::function<void(TConfig&)>& adjust, const QStringList& arguments) {
    CreateWindow(adjust);
    window->Start(arguments);
}

void TWindowTest::EndWindow() {
    window->close();
    window->Controller().EndProgram();
    window.reset();
}

bool TWindowTest::RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    return loop.RunUntil(predicate, limit);
}

void TWindowTest::Click(const char* button) {
    if (auto* widget = Find<QPushButton>(button)) {
        ASSERT_TRUE(widget->isEnabled()) << button << " is disabled";
        QTest::mouseClick(widget, Qt::LeftButton);
    }
}

void TWindowTest::ClickIn(const char* parent, const char* button) {
    auto* container = Find<QWidget>(parent);
    if (!container)
        return;
    auto* widget = container->findChild<QPushButton*>(QString::fromUtf8(button));
    ASSERT_NE(widget, nullptr) << "no control named " << button << " in " << parent;
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

QWidget* TWindowTest::CurrentPanel() const {
    return window->findChild<QStackedWidget*>(QStringLiteral("Panels"))->currentWidget();
}

QWidget* TWindowTest::CurrentPage() const {
    return window->findChild<QStackedWidget*>(QStringLiteral("pcMode"))->currentWidget();
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
    TTaskListView& list = window->TaskList();
    list.selectionModel()->select(window->TaskModel().index(row, 0),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TWindowTest::ClickRow(int row) {
    TTaskListView& list = window->TaskList();
    const QRect cell = list.visualRect(window->TaskModel().index(row, 1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
}

TScriptedDialogs::TBox TWindowTest::LastBox() const {
    if (dialogs.Boxes.empty()) {
        ADD_FAILURE() << "no box was shown";
        return {};
    }
    return dialogs.Boxes.back();
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
    for (const auto& seen : process.Lines())
        if (seen == line)
            return true;
    return false;
}

std::optional<std::string> SawLineStarting(TProcess& process, const std::string& prefix) {
    while (process.ReadLine(5ms)) {
    }
    for (const auto& seen : process.Lines())
        if (seen.starts_with(prefix))
            return seen;
    return std::nullopt;
}

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace fwp::test
