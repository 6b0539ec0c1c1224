#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/front_end.h"
#include "config/config.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

class QWidget;

namespace fwp::test {

using namespace std::chrono_literals;

// Dialogs answered by the test: every box and dialog is recorded, and the
// answers come from queues (a box without a queued answer gets OK or Cancel,
// a dialog without one is cancelled). WhileOpen runs while a dialog "is
// open", as the user would take time to answer.
class TScriptedDialogs final : public TDialogs {
public:
    struct TBox {
        std::string Text;
        std::string Title;
        TBoxIcon Icon;
        TBoxButtons Buttons;
    };
    struct TSave {
        std::string Title;
        std::string ProposedName;
        bool OverwritePrompt;
    };

    TBoxAnswer MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                          TBoxButtons buttons) override;
    std::vector<std::filesystem::path> OpenFiles(std::string_view title) override;
    std::optional<std::filesystem::path> SaveFile(std::string_view title, std::string_view proposedName,
                                                  bool overwritePrompt) override;
    std::optional<std::filesystem::path> ChooseFolder(std::string_view title) override;

    std::vector<TBox> Boxes;
    std::vector<TSave> Saves;
    std::vector<std::string> OpenTitles;
    std::vector<std::string> FolderTitles;
    std::deque<TBoxAnswer> Answers;
    std::deque<std::optional<std::filesystem::path>> SaveAnswers;
    std::deque<std::vector<std::filesystem::path>> OpenAnswers;
    std::deque<std::optional<std::filesystem::path>> FolderAnswers;
    std::function<void()> WhileOpen;

private:
    void Open();
};

// Stands in for the desktop's handler of web and mail addresses while it
// lives: every address the program opens is only written down.
class TUrlRecorder final : public QObject {
    Q_OBJECT

public:
    TUrlRecorder();
    ~TUrlRecorder() override;
    TUrlRecorder(const TUrlRecorder&) = delete;
    TUrlRecorder& operator=(const TUrlRecorder&) = delete;

    std::vector<std::string> Urls;

public slots:
    void Open(const QUrl& url);
};

// A real window with its controller and engine, settings of its own in a
// sandbox, and dialogs the test answers.
class TWindowTest : public ::testing::Test {
protected:
    TWindowTest();
    ~TWindowTest() override;

    // Loads config.ini of the sandbox (defaults where it has no key) with no
    // welcome, no router and no service, then makes the window.
    void CreateWindow(const std::function<void(TConfig&)>& adjust = nullptr);
    // CreateWindow, then shows the window through its start with arguments (none: the start panel).
    void MakeWindow(const std::function<void(TConfig&)>& adjust = nullptr, const QStringList& arguments = {});
    // Closes and destroys the window (as the program's end does) and writes the settings.
    void EndWindow();

    bool RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 30s);

    template <typename T>
    T* Find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromUtf8(name));
        if (!widget)
            ADD_FAILURE() << "no control named " << name;
        return widget;
    }
    void Click(const char* button);
    // Clicks the button named button inside the control named parent (names the window uses twice).
    void ClickIn(const char* parent, const char* button);
    // The client page's start to 127.0.0.1 at port, as the user types it.
    void ConnectTo(int port);
    QWidget* CurrentPanel() const;
    QWidget* CurrentPage() const;

    // The texts of the task list as shown, UTF-8.
    int RowCount() const;
    std::string Cell(int row, int column) const;
    // The last row whose caption and content start as given, or -1.
    int FindRow(const std::string& caption, const std::string& contentStart = "") const;
    void SelectRow(int row);
    // Every row's texts, for the message of a failed check.
    std::string RowsText() const;
    // Releases the mouse over a row, as the user clicking a pending offer.
    void ClickRow(int row);

    TScriptedDialogs::TBox LastBox() const;
    // Runs action once, from the event loop, as soon as condition holds
    // (for example while a click is still waiting for a peer).
    void When(std::function<bool()> condition, std::function<void()> action);

    TSandbox box;
    TUrlRecorder urls;
    TQtEventLoop loop;
    TScriptedDialogs dialogs;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<TMainWindow> window;
};

// The lines a process has written so far, reading what is waiting without blocking long.
bool SawLine(TProcess& process, const std::string& line);
std::optional<std::string> SawLineStarting(TProcess& process, const std::string& prefix);

// A port that nothing listens on at the moment.
int FreePort();

QString Q(const std::string& utf8);
std::string U(const QString& text);

}  // namespace fwp::test
