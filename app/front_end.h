#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the window's logic needs from the window: message boxes and dialogs
// (TDialogs, which tests answer in its place) and the visible state (TMainView).
// Texts are UTF-8.
namespace fwp {

enum class TBoxIcon : std::uint8_t { biError, biWarning, biInformation, biQuestion };
// bbResumeOverwriteCancel: the existing-file question, whose buttons say what
// they do ("続きから受信", "上書き", "キャンセル") and answer baYes, baNo, baCancel.
enum class TBoxButtons : std::uint8_t { bbOk, bbYesNo, bbYesNoCancel, bbResumeOverwriteCancel };
enum class TBoxAnswer : std::uint8_t { baOk, baYes, baNo, baCancel };

class TDialogs {
public:
    virtual ~TDialogs() = default;
    virtual TBoxAnswer MessageBox(std::string_view text, std::string_view title, TBoxIcon icon,
                                  TBoxButtons buttons = TBoxButtons::bbOk) = 0;
    // Each dialog opens in folder; an empty folder means the user's home folder.
    // The file open dialog for files to send; empty when cancelled.
    virtual std::vector<std::filesystem::path> OpenFiles(std::string_view title,
                                                         const std::filesystem::path& folder = {}) = 0;
    // The save dialog, its file name preset; nothing when cancelled.
    virtual std::optional<std::filesystem::path> SaveFile(std::string_view title,
                                                          std::string_view proposedName, bool overwritePrompt,
                                                          const std::filesystem::path& folder = {}) = 0;
    // The folder dialog; nothing when cancelled.
    virtual std::optional<std::filesystem::path> ChooseFolder(std::string_view title,
                                                              const std::filesystem::path& folder = {}) = 0;
};

// The pages of the start panel.
enum class TStartPage : std::uint8_t { spSelect, spServer, spClient, spWait };

// The window as the logic changes it. Every operation has a default that
// does nothing, so a test view overrides only what it watches.
class TMainView {
public:
    virtual ~TMainView() = default;
    // The own local and WAN addresses on the start panel (a WAN text may say why there is none).
    virtual void ShowAddresses(std::string_view /*local*/, std::string_view /*wan*/) {}
    // Start panel in front on page; the transfer menu hidden.
    virtual void ShowStartPanel(TStartPage /*page*/) {}
    // The waiting page's message, painted at once.
    virtual void SetWaitMessage(std::string_view /*text*/) {}
    // The addresses and port the other side must use, shown on the waiting page with a copy button
    // (empty: none).
    virtual void SetWaitAddresses(std::string_view /*text*/) {}
    // Transfer panel in front; the transfer menu shown.
    virtual void ShowTransferPanel() {}
    // Panels of the status bar: 0 state, 1 port, 2 rate, 3 peer.
    virtual void SetStatusText(int /*panel*/, std::string_view /*text*/) {}
    // A passing message over the status bar's panels (a saved log's place).
    virtual void ShowStatusMessage(std::string_view /*text*/) {}
    // Send, chat, plug-in button, "ファイル転送(&F)" and the plug-in menu together.
    virtual void EnableTransferControls(bool /*enabled*/) {}
    // The window goes out of sight at once: the program is ending.
    virtual void WindowClosing() {}
    // The session has ended (the way back to the start panel is offered) or runs.
    virtual void SessionEnded(bool /*ended*/) {}
    // The settings panel in front.
    virtual void ShowSettings() {}
    // A desktop notification while the window is in the background (an offer, a finished file).
    virtual void Notify(std::string_view /*summary*/, std::string_view /*body*/) {}
    // Draws the user's attention to the transfer page (a row was added).
    virtual void Alert() {}
    // The selected row's controls may have changed (a suspend, the peer's suspend).
    virtual void SelectionChanged() {}
    // Opens an address with the desktop's handler (web page, mail program).
    virtual void OpenUrl(std::string_view /*url*/) {}

    // Pages of running plug-ins. A handle is the page's widget, opaque here.
    // A new page with this caption (UTF-8), made the active page.
    virtual void* CreateSpace(std::string_view /*caption*/) { return nullptr; }
    virtual void DeleteSpace(void* /*handle*/) {}
    // Draws the user's attention to a plug-in's page (nullptr: no page).
    virtual void AlertSpace(void* /*handle*/) { Alert(); }
    // The window's own page object for a handle, or nullptr; and the application object.
    virtual void* SpaceObject(void* /*handle*/) { return nullptr; }
    virtual void* Application() { return nullptr; }
};

}  // namespace fwp
