#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "app/front_end.h"
#include "app/main_controller.h"
#include "common/codec.h"
#include "engine/poll_loop.h"
#include "tests/support/loopback.h"
#include "tests/support/peer.h"
#include "tests/support/sandbox.h"

// A view and dialogs of the tests' own for the window's logic.
namespace fwp {

using namespace std::chrono_literals;

struct TBox {
    std::string Text;
    std::string Title;
    TBoxIcon Icon;
};

// Answers dialogs from queues and remembers every box.
class TScriptedDialogs : public TDialogs {
public:
    TBoxAnswer MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                          TBoxButtons) override {
        Boxes.push_back({std::string(text), std::string(title), icon});
        if (Answers.empty())
            return TBoxAnswer::baOk;
        const TBoxAnswer answer = Answers.front();
        Answers.pop_front();
        return answer;
    }
    std::vector<std::filesystem::path> OpenFiles(std::string_view,
                                                 const std::filesystem::path& folder) override {
        OpenFolders.push_back(folder);
        return FilesToOpen;
    }
    std::optional<std::filesystem::path> SaveFile(std::string_view title, std::string_view proposed,
                                                  bool overwritePrompt,
                                                  const std::filesystem::path& folder) override {
        SaveFolders.push_back(folder);
        SaveTitles.push_back(std::string(title));
        Proposed.push_back(std::string(proposed));
        OverwritePrompts.push_back(overwritePrompt);
        if (SavePaths.empty())
            return std::nullopt;
        const auto path = SavePaths.front();
        SavePaths.pop_front();
        return path;
    }
    std::optional<std::filesystem::path> ChooseFolder(std::string_view title,
                                                      const std::filesystem::path& folder) override {
        FolderStarts.push_back(folder);
        FolderTitles.push_back(std::string(title));
        return Folder;
    }
    std::vector<TBox> Boxes;
    std::deque<TBoxAnswer> Answers;
    std::vector<std::filesystem::path> FilesToOpen;
    std::deque<std::filesystem::path> SavePaths;
    std::vector<std::string> SaveTitles;
    std::vector<std::string> Proposed;
    std::vector<bool> OverwritePrompts;
    std::optional<std::filesystem::path> Folder;
    std::vector<std::string> FolderTitles;
    // Where each dialog was asked to open.
    std::vector<std::filesystem::path> OpenFolders;
    std::vector<std::filesystem::path> SaveFolders;
    std::vector<std::filesystem::path> FolderStarts;
};

class TRecordingView : public TMainView {
public:
    void* CreateSpace(std::string_view caption) override {
        Spaces.push_back(std::string(caption));
        return reinterpret_cast<void*>(Spaces.size());
    }
    std::vector<std::string> Spaces;
    void ShowStartPanel(TStartPage page) override { Pages.push_back(page); }
    void SetWaitMessage(std::string_view text) override { WaitMessages.push_back(std::string(text)); }
    void ShowTransferPanel() override { ++TransferPanels; }
    void SetStatusText(int panel, std::string_view text) override { Status[panel] = std::string(text); }
    void ShowSettings() override { ++Settings; }
    std::vector<TStartPage> Pages;
    std::vector<std::string> WaitMessages;
    int TransferPanels = 0;
    std::map<int, std::string> Status;
    int Settings = 0;
};

// The window's logic on the test's own thread, with a peer engine on another.
class Controller : public ::testing::Test {
protected:
    Controller() : config(box.Path("config.ini")) {
        config.UseUPnP = false;
        config.FirstRunning = false;
        config.ReceiveTo = box.Folder("in").string() + "/";
        loop.OnError = [this](const std::exception& error) { controller->LoopError(error); };
        controller = std::make_unique<TMainController>(loop, config, view, dialogs);
    }
    ~Controller() override {
        controller->Transer().CloseSocket();
        controller.reset();
    }
    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
        return loop.RunUntil(done, limit);
    }
    // Waits as server; the peer engine connects from its own thread.
    void ConnectPeer() {
        peer.ReceiveFolder = box.Folder("peer-in");
        const int port = test::FreePort();
        auto connected = std::async(std::launch::async, [&] {
            for (int attempt = 0; attempt < 200; ++attempt) {
                if (peer.ConnectAndStart(port))
                    return true;
                std::this_thread::sleep_for(20ms);
            }
            return false;
        });
        ASSERT_TRUE(controller->StartServer(std::to_string(port), false, ""));
        ASSERT_TRUE(connected.get());
        ASSERT_EQ(controller->Mode(), TWindowMode::mdConnected);
    }
    std::string RowText(int row) { return codec::Cp932ToUtf8(controller->Rows().Row(row).Content); }
    std::string RowState(int row) { return codec::Cp932ToUtf8(controller->Rows().Row(row).State); }
    int LastRow() { return static_cast<int>(controller->Rows().Count()) - 1; }
    int FindRow(const std::string& caption, const std::string& contentStart) {
        for (int i = 0; i < static_cast<int>(controller->Rows().Count()); ++i)
            if (codec::Cp932ToUtf8(controller->Rows().Row(i).Caption) == caption &&
                RowText(i).starts_with(contentStart))
                return i;
        return -1;
    }
    std::int32_t PeerResult(const std::string& name) {
        std::vector<test::TCompletion> storage;
        const auto* completion = peer.FindCompletion("FileTransfering:" + name, storage);
        return completion ? completion->Result : -100;
    }

    test::TSandbox box;
    TPollLoop loop;
    TConfig config;
    TRecordingView view;
    TScriptedDialogs dialogs;
    std::unique_ptr<TMainController> controller;
    test::TPeer peer{"peer"};
};

}  // namespace fwp
