#pragma once

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include <QMainWindow>
#include <QStringList>

#include "app/front_end.h"
#include "app/main_controller.h"

class QAction;
class QBoxLayout;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLayout;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QCheckBox;
class QRadioButton;
class QStackedWidget;
class QStatusBar;
class QSystemTrayIcon;
class QTabWidget;

namespace fwp {

class TAlarm;
class TNotifier;
class THelpPanel;
class TSettingsFrame;
class TTaskListModel;
class TTaskListView;
class TVersionPanel;

// The main window: the start panel with its pages, the transfer panel with
// the task list, the chat line, the plug-ins' pages and the status bar, the
// settings, version and help panels, the menus and the tray icon. Its logic
// is TMainController's; the window shows what the controller tells it
// (TMainView) and hands the user's actions to it. Every control carries the
// design's name as its object name.
class TMainWindow final : public QMainWindow, public TMainView {
    Q_OBJECT

public:
    // soundFolder receives beep.wav (the system's temporary folder by default).
    TMainWindow(TEventLoop& loop, TConfig& config, TDialogs& dialogs, const QString& soundFolder = QString(),
                QWidget* parent = nullptr);
    ~TMainWindow() override;

    TMainController& Controller() { return *m_controller; }
    TAlarm& Alarm() { return *m_alarm; }
    TTaskListView& TaskList() { return *m_taskList; }
    TTaskListModel& TaskModel() { return *m_taskModel; }

    // Looks for the router and shows the own addresses once known; returns at once.
    void Discover();
    // Shows the window and runs the start the command line asks for (no
    // argument: the start panel, with the first run's welcome). False when an
    // unattended start failed and the program is to end.
    bool Start(const QStringList& arguments);
    // Loads the plug-ins of folder and lists them in the plug-in menus.
    void LoadPlugins(const std::filesystem::path& folder);
    const std::filesystem::path& PluginFolder() const { return m_pluginFolder; }
    // The program's file (the running executable unless set): shown on the
    // settings panel, registered with the messenger, and dated by the version check.
    void SetProgramFile(const std::filesystem::path& file) { m_programFile = file; }
    // The file whose date tells whether a new version is out (the program's web server unless set).
    void SetVersionFileUrl(const std::string& url) { m_versionFileUrl = url; }

    // TMainView
    void ShowStartPanel(TStartPage page) override;
    void SetWaitMessage(std::string_view text) override;
    void SetWaitAddresses(std::string_view text) override;
    void ShowAddresses(std::string_view local, std::string_view wan) override;
    void ShowTransferPanel() override;
    void SetStatusText(int panel, std::string_view text) override;
    void ShowStatusMessage(std::string_view text) override;
    void EnableTransferControls(bool enabled) override;
    void ShowSettings() override;
    void WindowClosing() override;
    void SessionEnded(bool ended) override;
    void Alert() override;
    void Notify(std::string_view summary, std::string_view body) override;
    // The desktop notifications (the session bus unless a test gives another).
    TNotifier& Notifier() { return *m_notifier; }
    void SelectionChanged() override;
    void OpenUrl(std::string_view url) override;
    void* CreateSpace(std::string_view caption) override;
    void DeleteSpace(void* handle) override;
    void AlertSpace(void* handle) override;
    void* SpaceObject(void* handle) override;
    void* Application() override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* BuildStartPanel();
    QWidget* BuildSelectPage();
    QWidget* BuildServerPage();
    QWidget* BuildClientPage();
    // The 合言葉 row of a start page: the hidden field and its "保存する" box.
    QLayout* SecretRow(const QString& editName, const QString& saveName, QLineEdit*& edit, QCheckBox*& save);
    // Both pages show the same 合言葉; the settings keep it only while "保存する" is ticked.
    void SecretEdited(const QString& text);
    void SaveSecretToggled(bool save);
    QPushButton* AddStartButtons(QWidget* page, QBoxLayout* layout, const QString& startName,
                                 const QString& cancelName, void (TMainWindow::*onStart)());
    QWidget* BuildWaitPage();
    QWidget* BuildTransferPanel();
    QWidget* BuildSettingPanel();
    QWidget* BuildVersionPanel();
    QWidget* BuildHelpPanel();
    void BuildMenus();
    void BuildPopups();
    void BuildTray();

    // Runs a handler of a user action; an error that escapes it goes to the general error display.
    void Act(const std::function<void()>& action);
    void ApplySettingsToControls();
    void ShowPanel(QWidget* panel);
    void ClosePanel();
    void ShowVersionPanel();
    void ShowHelp();
    void SettingsCloseClicked();
    // Draws the user's attention to page (nullptr: none), the transfer page or a plug-in's.
    void AlertPage(QWidget* page);
    // The page of pcSpaces that handle names, or nullptr.
    QWidget* Space(void* handle) const;
    void SetTimeViewMode(bool remaining);
    void UpdateSelectionControls();
    void ShowAnswerMenu(int row, const QPoint& globalPos);
    void ShowListPopup(const QPoint& globalPos);
    void CopyContent();
    void SendSay();
    void StartServerClicked();
    void StartClientClicked();
    void ShowClientPage();
    void PressDefault(QPushButton* defaultButton);
    void RestoreFromTray();
    // The window's size and place, kept between runs.
    QString GeometryFile() const;
    void RestoreGeometry();
    void SaveGeometry();
    // Offers a dropped file, or every file inside a dropped folder.
    void OfferDropped(const std::filesystem::path& path);

    TEventLoop& m_loop;
    TConfig& m_config;
    TDialogs& m_dialogs;
    std::unique_ptr<TAlarm> m_alarm;
    std::unique_ptr<TNotifier> m_notifier;
    std::unique_ptr<TMainController> m_controller;
    TTaskListModel* m_taskModel = nullptr;
    TTaskListView* m_taskList = nullptr;

    QStackedWidget* m_panels = nullptr;
    QWidget* m_pnlStart = nullptr;
    QWidget* m_pnlTransfer = nullptr;
    QWidget* m_pnlSetting = nullptr;
    QWidget* m_pnlVer = nullptr;
    QWidget* m_pnlHelp = nullptr;
    QWidget* m_basePanel = nullptr;  // the start or transfer panel, under the other three
    TSettingsFrame* m_frmSetting = nullptr;
    TVersionPanel* m_version = nullptr;
    THelpPanel* m_help = nullptr;

    QStackedWidget* m_pcMode = nullptr;
    QWidget* m_tsSelect = nullptr;
    QWidget* m_tsServer = nullptr;
    QWidget* m_tsClient = nullptr;
    QWidget* m_tsWait = nullptr;
    QPushButton* m_plButton1 = nullptr;
    QLineEdit* m_edtLocalAddr = nullptr;
    QLineEdit* m_edtWANAddr = nullptr;
    QLabel* m_image1 = nullptr;
    QLineEdit* m_edtServPort = nullptr;
    QCheckBox* m_cbLogin = nullptr;
    QLineEdit* m_edtUserName = nullptr;
    QPushButton* m_btStartServ = nullptr;
    QRadioButton* m_rbUser = nullptr;
    QRadioButton* m_rbDirect = nullptr;
    QLineEdit* m_edtServUser = nullptr;
    QComboBox* m_cbConnectTo = nullptr;
    QLineEdit* m_edtPort = nullptr;
    QPushButton* m_btStartClient = nullptr;
    QLineEdit* m_edtServSecret = nullptr;
    QCheckBox* m_cbServSaveSecret = nullptr;
    QLineEdit* m_edtSecret = nullptr;
    QCheckBox* m_cbSaveSecret = nullptr;
    QLabel* m_lblMsg = nullptr;
    QProgressBar* m_animate = nullptr;
    QLabel* m_lblAddresses = nullptr;
    QPushButton* m_btCopyAddresses = nullptr;

    QTabWidget* m_pcSpaces = nullptr;
    QWidget* m_tsMain = nullptr;
    QPushButton* m_plFile = nullptr;
    QPushButton* m_plCollectively = nullptr;
    QPushButton* m_plCancel = nullptr;
    QPushButton* m_plSuspend = nullptr;
    QPushButton* m_plPlugin = nullptr;
    QLineEdit* m_edtSay = nullptr;
    QPushButton* m_plSend = nullptr;
    QPushButton* m_btBackToStart = nullptr;  // shown once the session has ended
    QAction* m_miBackToStart = nullptr;
    QStatusBar* m_statusBar = nullptr;
    std::array<QLabel*, 4> m_status{};

    QMenu* m_miTransfer = nullptr;
    QAction* m_miTransFile = nullptr;
    QAction* m_miSaveLog = nullptr;
    QMenu* m_pluginMenu = nullptr;  // "機能(&P)" of the transfer menu
    QMenu* m_pmPlugin = nullptr;    // the same entries under the button "機能"
    QMenu* m_pmReceiveOrNot = nullptr;
    QMenu* m_pmPopup = nullptr;
    QAction* m_miCopy = nullptr;
    QAction* m_miCancel = nullptr;
    QAction* m_miSuspend = nullptr;
    QAction* m_miRemain = nullptr;
    QAction* m_miPast = nullptr;
    int m_answerRow = -1;  // the row the answer menu was opened for

    QSystemTrayIcon* m_tray = nullptr;
    std::filesystem::path m_pluginFolder;
    std::filesystem::path m_programFile;
    std::string m_versionFileUrl;
    bool m_shuttingDown = false;
};

}  // namespace fwp
