#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <gtest/gtest.h>

#include "app/front_end.h"
#include "common/codec.h"
#include "config/config.h"
#include "tests/support/loopback.h"
#include "tests/support/peer.h"
#include "tests/support/process.h"
#include "tests/support/sandbox.h"
#include "ui/main_window.h"
#include "ui/qt_event_loop.h"

class QWidget;

namespace fwp::test {

using namespace std::chrono_literals;

inline QString Q(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string U(const QString& text) {
    return text.toStdString();
}
inline std::string Sjis(std::string_view utf8) {
    return codec::Utf8ToCp932(utf8);
}

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
        std::filesystem::path Folder;
    };

    TBoxAnswer MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                          TBoxButtons buttons) override {
        Boxes.push_back({std::string(text), std::string(title), icon, buttons});
        return Answer(Answers, buttons == TBoxButtons::bbOk ? TBoxAnswer::baOk : TBoxAnswer::baCancel);
    }
    std::vector<std::filesystem::path> OpenFiles(std::string_view title,
                                                 const std::filesystem::path& folder = {}) override {
        OpenTitles.emplace_back(title);
        OpenFolders.push_back(folder);
        return Answer(OpenAnswers, {});
    }
    std::optional<std::filesystem::path> SaveFile(std::string_view title, std::string_view proposedName,
                                                  bool overwritePrompt,
                                                  const std::filesystem::path& folder = {}) override {
        Saves.push_back({std::string(title), std::string(proposedName), overwritePrompt, folder});
        return Answer(SaveAnswers, std::nullopt);
    }
    std::optional<std::filesystem::path> ChooseFolder(std::string_view title,
                                                      const std::filesystem::path& folder = {}) override {
        FolderTitles.emplace_back(title);
        FolderStarts.push_back(folder);
        return Answer(FolderAnswers, std::nullopt);
    }

    std::vector<TBox> Boxes;
    std::vector<TSave> Saves;
    std::vector<std::string> OpenTitles;
    std::vector<std::string> FolderTitles;
    std::vector<std::filesystem::path> OpenFolders;
    std::vector<std::filesystem::path> FolderStarts;
    std::deque<TBoxAnswer> Answers;
    std::deque<std::optional<std::filesystem::path>> SaveAnswers;
    std::deque<std::vector<std::filesystem::path>> OpenAnswers;
    std::deque<std::optional<std::filesystem::path>> FolderAnswers;
    std::function<void()> WhileOpen;

private:
    // The dialog is open while WhileOpen runs; then the first queued answer, or otherwise.
    template <typename T>
    T Answer(std::deque<T>& queued, std::type_identity_t<T> otherwise) {
        if (WhileOpen)
            WhileOpen();
        if (queued.empty())
            return otherwise;
        T answer = std::move(queued.front());
        queued.pop_front();
        return answer;
    }
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
    void Open(const QUrl& url) { Urls.push_back(U(url.toString())); }
};

// A real window with its controller and engine, settings of its own in a
// sandbox, and dialogs the test answers.
class TWindowTest : public ::testing::Test {
protected:
    ~TWindowTest() override { window.reset(); }

    // Loads config.ini of the sandbox (defaults where it has no key) with no
    // welcome, no router and no service, then makes the window.
    void CreateWindow(const std::function<void(TConfig&)>& adjust = nullptr);
    // CreateWindow, then shows the window through its start with arguments (none: the start panel).
    void MakeWindow(const std::function<void(TConfig&)>& adjust = nullptr,
                    const QStringList& arguments = {}) {
        CreateWindow(adjust);
        window->Start(arguments);
    }
    // Closes and destroys the window (as the program's end does) and writes the settings.
    void EndWindow() {
        window->close();
        window->Controller().EndProgram();
        window.reset();
    }
    bool RunUntil(const std::function<bool()>& predicate, std::chrono::milliseconds limit = 30s) {
        return loop.RunUntil(predicate, limit);
    }
    // Runs until the window is the active one (focus and alerts depend on it).
    void Activate();

    template <typename T>
    T* Find(const char* name) const {
        T* widget = window->findChild<T*>(QString::fromUtf8(name));
        if (!widget)
            ADD_FAILURE() << "no control named " << name;
        return widget;
    }
    void Click(const char* button) { ClickIn(nullptr, button); }
    // Clicks the button named button inside the control named parent (names the window uses twice).
    void ClickIn(const char* parent, const char* button);
    // The client page's start to 127.0.0.1 at port, as the user types it.
    void ConnectTo(int port);
    // ConnectTo a port peer listens on; the window is connected when it returns.
    void ConnectToPeer(TPeer& peer);
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
    // Clicks a pending offer's row and chooses action ("miAccept", "miDeny") from its answer menu.
    void Answer(int row, const char* action);

    TScriptedDialogs::TBox LastBox() const;
    // The only box shown since Boxes was last cleared, with its text, title and icon.
    void ExpectBox(const std::string& text, const std::string& title, TBoxIcon icon) const;
    // The window waits on its listening port: a peer may connect now. (The
    // waiting page shows before the port is opened.)
    bool Listening() const;
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

// Whether the process has written this line so far, reading what is waiting without blocking long.
bool SawLine(TProcess& process, const std::string& line);

}  // namespace fwp::test
