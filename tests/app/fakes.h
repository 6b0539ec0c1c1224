#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/front_end.h"

// A view and dialogs of the tests' own for the window's logic.
namespace fwp {

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
    std::vector<std::filesystem::path> OpenFiles(std::string_view) override { return FilesToOpen; }
    std::optional<std::filesystem::path> SaveFile(std::string_view title, std::string_view proposed,
                                                  bool overwritePrompt) override {
        SaveTitles.push_back(std::string(title));
        Proposed.push_back(std::string(proposed));
        OverwritePrompts.push_back(overwritePrompt);
        if (SavePaths.empty())
            return std::nullopt;
        const auto path = SavePaths.front();
        SavePaths.pop_front();
        return path;
    }
    std::optional<std::filesystem::path> ChooseFolder(std::string_view title) override {
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

}  // namespace fwp
