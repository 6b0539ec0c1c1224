#include "ui/main_window.h"

#include <algorithm>

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QSettings>
#include <QShortcut>
#include <QStackedWidget>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "app/settings_form.h"
#include "common/addresses.h"
#include "common/codec.h"
#include "common/error.h"
#include "config/config_places.h"
#include "ui/alarm.h"
#include "ui/help_panel.h"
#include "ui/notifier.h"
#include "ui/settings_frame.h"
#include "ui/task_list_model.h"
#include "ui/task_list_view.h"
#include "ui/version_panel.h"
#include "ui/widgets.h"

using namespace Qt::StringLiterals;

namespace fwp {
using namespace widgets;

namespace {

// The column of a start page, inset from the page's top left corner.
QVBoxLayout* PageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(4, 4, 0, 0);
    return layout;
}

}  // namespace

TMainWindow::TMainWindow(TEventLoop& loop, TConfig& config, TDialogs& dialogs, const QString& soundFolder,
                         QWidget* parent)
    : QMainWindow(parent),
      m_loop(loop),
      m_config(config),
      m_dialogs(dialogs),
      m_alarm(std::make_unique<TAlarm>(soundFolder.isEmpty() ? QDir::tempPath() : soundFolder)),
      m_notifier(std::make_unique<TNotifier>()),
      m_controller(std::make_unique<TMainController>(loop, config, *this, dialogs)),
      m_programFile(ToUtf8(QCoreApplication::applicationFilePath())),
      m_versionFileUrl(VersionFileURL) {
    setObjectName(u"Form1"_s);
    setWindowTitle(u"Fernwaypost"_s);
    setWindowIcon(QApplication::windowIcon().isNull() ? QIcon(u":/fernwaypost/icons/fernwaypost-48.png"_s)
                                                      : QApplication::windowIcon());
    resize(512, 390);
    setMinimumSize(512, 390);
    RestoreGeometry();

    // Errors that escape the engine's callbacks reach the user here.
    loop.OnError = [this](const std::exception& error) {
        if (m_controller)
            m_controller->LoopError(error);
    };

    m_panels = Named(new QStackedWidget(this), u"Panels"_s);
    m_pnlStart = BuildStartPanel();
    m_pnlTransfer = BuildTransferPanel();
    m_pnlSetting = BuildSettingPanel();
    m_pnlVer = BuildVersionPanel();
    m_pnlHelp = BuildHelpPanel();
    for (QWidget* panel : {m_pnlStart, m_pnlTransfer, m_pnlSetting, m_pnlVer, m_pnlHelp})
        m_panels->addWidget(panel);
    setCentralWidget(m_panels);
    m_basePanel = m_pnlStart;
    m_panels->setCurrentWidget(m_pnlStart);
    // The icon's game runs only while the version panel is in front.
    connect(m_panels, &QStackedWidget::currentChanged, this, [this] {
        if (m_panels->currentWidget() != m_pnlVer)
            m_version->Stop();
    });

    BuildMenus();
    BuildPopups();
    BuildTray();
    EnableTransferControls(false);
    UpdateSelectionControls();
}

TMainWindow::~TMainWindow() {
    m_loop.OnError = nullptr;
    // Plug-ins end first, while the pages they may close still exist. Then
    // the list lets go of the rows, and the engine ends its session while
    // the controller and this window are whole; the engine may still run
    // the loop while it closes.
    m_controller->Plugins().Clear();
    m_taskModel->Detach();
    m_controller->Transer().Close();
}

// --- Building --------------------------------------------------------------

QWidget* TMainWindow::BuildStartPanel() {
    auto* panel = Named(new QWidget, u"pnlStart"_s);
    auto* layout = new QHBoxLayout(panel);
    layout->setContentsMargins(0, 0, 8, 8);
    layout->setSpacing(8);

    auto* panel1 = Named(new QWidget, u"Panel1"_s);
    auto* pictureLayout = new QVBoxLayout(panel1);
    pictureLayout->setContentsMargins(0, 0, 0, 0);
    auto* image3 = Named(new QLabel, u"Image3"_s);
    // The picture is a JPEG, read through Qt's JPEG plug-in.
    QImageReader reader(u":/fernwaypost/side.jpg"_s, "jpeg");
    image3->setPixmap(QPixmap::fromImage(reader.read()));
    image3->setFixedSize(100, 340);
    pictureLayout->addWidget(image3);
    pictureLayout->addStretch();
    layout->addWidget(panel1);

    auto* right = new QVBoxLayout;
    right->setContentsMargins(0, 8, 0, 0);
    auto* greeting = Named(Label(u"ようこそ。接続の準備をしましょう。"_s), u"lblWelcome"_s);
    QFont bold = greeting->font();
    bold.setBold(true);
    greeting->setFont(bold);
    right->addWidget(greeting);

    m_pcMode = Named(new QStackedWidget, u"pcMode"_s);
    m_tsSelect = BuildSelectPage();
    m_tsServer = BuildServerPage();
    m_tsClient = BuildClientPage();
    m_tsWait = BuildWaitPage();
    for (QWidget* page : {m_tsSelect, m_tsServer, m_tsClient, m_tsWait})
        m_pcMode->addWidget(page);
    right->addWidget(m_pcMode, 1);
    layout->addLayout(right, 1);
    return panel;
}

QWidget* TMainWindow::BuildSelectPage() {
    auto* page = Named(new QWidget, u"tsSelect"_s);
    page->setWindowTitle(u"選択"_s);
    auto* layout = PageLayout(page);
    layout->addWidget(Label(u"・モードを選択してください。"_s));

    auto* plButton1 = Button(u"plButton1"_s, u"相手の接続を待つ(サーバー)"_s);
    m_plButton1 = plButton1;
    auto* plButton2 = Button(u"plButton2"_s, u"相手に接続する(クライアント)"_s);
    for (QPushButton* mode : {plButton1, plButton2}) {
        mode->setMinimumHeight(34);
        layout->addWidget(mode);
    }
    connect(plButton1, &QPushButton::clicked, this, [this] {
        m_pcMode->setCurrentWidget(m_tsServer);
        m_edtServPort->setFocus();
    });
    connect(plButton2, &QPushButton::clicked, this, [this] { ShowClientPage(); });

    auto* row = new QHBoxLayout;
    auto* plButton3 = Button(u"plButton3"_s, u"設定"_s);
    auto* plButton4 = Button(u"plButton4"_s, u"使い方"_s);
    auto* button2 = Button(u"Button2"_s, u"終了"_s);
    row->addWidget(plButton3);
    row->addWidget(plButton4);
    row->addStretch();
    row->addWidget(button2);
    layout->addLayout(row);
    connect(plButton3, &QPushButton::clicked, this, [this] { Act([this] { ShowSettings(); }); });
    connect(plButton4, &QPushButton::clicked, this, [this] { ShowHelp(); });
    connect(button2, &QPushButton::clicked, this, &QWidget::close);

    layout->addSpacing(6);
    auto* addresses = new QGridLayout;
    addresses->setContentsMargins(0, 0, 0, 0);
    addresses->addWidget(Label(u"・あなたのローカルIPアドレス"_s), 0, 0);
    m_edtLocalAddr = Named(new QLineEdit, u"edtLocalAddr"_s);
    addresses->addWidget(m_edtLocalAddr, 1, 0);
    addresses->addWidget(Label(u"・あなたのWAN IPアドレス"_s), 2, 0);
    m_edtWANAddr = Named(new QLineEdit, u"edtWANAddr"_s);
    addresses->addWidget(m_edtWANAddr, 3, 0);
    for (QLineEdit* edit : {m_edtLocalAddr, m_edtWANAddr})
        edit->setReadOnly(true);
    m_image1 = Named(new QLabel, u"Image1"_s);
    m_image1->setPixmap(QIcon(u":/fernwaypost/icons/fernwaypost-48.png"_s).pixmap(48, 48));
    // A click opens the home page.
    m_image1->setCursor(Qt::PointingHandCursor);
    m_image1->setToolTip(FromUtf8(HomePageURL));
    m_image1->installEventFilter(this);
    addresses->addWidget(m_image1, 0, 1, 4, 1, Qt::AlignRight | Qt::AlignBottom);
    addresses->setColumnStretch(0, 1);
    layout->addLayout(addresses);
    layout->addStretch();
    return page;
}

QWidget* TMainWindow::BuildServerPage() {
    auto* page = Named(new QWidget, u"tsServer"_s);
    page->setWindowTitle(u"サーバー(&S)"_s);
    auto* layout = PageLayout(page);
    layout->addWidget(Label(u"サーバーを立てて、相手の接続を待ちます。"_s));
    layout->addSpacing(6);

    auto* grid = new QGridLayout;
    grid->addWidget(Label(u"使用ポート :"_s), 0, 0);
    m_edtServPort = Named(new QLineEdit(u"4006"_s), u"edtServPort"_s);
    m_edtServPort->setToolTip(u"使用するポートを入力してください。番号はお互い同じである必要があります。"_s);
    m_edtServPort->setMaximumWidth(90);
    grid->addWidget(m_edtServPort, 0, 1, Qt::AlignLeft);
    m_cbLogin = Named(new QCheckBox(u"簡単接続サービスを利用する"_s), u"cbLogin"_s);
    m_cbLogin->setChecked(true);
    grid->addWidget(m_cbLogin, 1, 0, 1, 2);
    grid->addWidget(Label(u"ユーザー名 :"_s), 2, 0);
    m_edtUserName = Named(new QLineEdit, u"edtUserName"_s);
    grid->addWidget(m_edtUserName, 2, 1);
    auto* note = Label(u"相手にIPとポートを教えなくても接続できます。"_s);
    note->setWordWrap(true);
    grid->addWidget(note, 3, 0, 1, 2);
    grid->addWidget(Label(u"合言葉 :"_s), 4, 0);
    grid->addLayout(SecretRow(u"edtServSecret"_s, u"cbServSaveSecret"_s, m_edtServSecret, m_cbServSaveSecret),
                    4, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    layout->addStretch();

    m_btStartServ =
        AddStartButtons(page, layout, u"btStartServ"_s, u"btCancel"_s, &TMainWindow::StartServerClicked);
    return page;
}

QWidget* TMainWindow::BuildClientPage() {
    auto* page = Named(new QWidget, u"tsClient"_s);
    page->setWindowTitle(u"クライアント(&C)"_s);
    auto* layout = PageLayout(page);
    layout->addWidget(Label(u"相手のサーバーに接続します。"_s));
    layout->addSpacing(6);

    auto* grid = new QGridLayout;
    m_rbUser = Named(new QRadioButton(u"簡単接続サービスで接続"_s), u"rbUser"_s);
    grid->addWidget(m_rbUser, 0, 0, 1, 2);
    grid->addWidget(Label(u"相手ユーザー名 :"_s), 1, 0);
    m_edtServUser = Named(new QLineEdit, u"edtServUser"_s);
    grid->addWidget(m_edtServUser, 1, 1);
    m_rbDirect = Named(new QRadioButton(u"直接指定で接続"_s), u"rbDirect"_s);
    m_rbDirect->setChecked(true);
    grid->addWidget(m_rbDirect, 2, 0, 1, 2);
    grid->addWidget(Label(u"接続先アドレス :"_s), 3, 0);
    m_cbConnectTo = Named(new QComboBox, u"cbConnectTo"_s);
    m_cbConnectTo->setEditable(true);
    m_cbConnectTo->setInsertPolicy(QComboBox::NoInsert);
    grid->addWidget(m_cbConnectTo, 3, 1);
    grid->addWidget(Label(u"使用ポート :"_s), 4, 0);
    m_edtPort = Named(new QLineEdit(u"4006"_s), u"edtPort"_s);
    m_edtPort->setMaximumWidth(90);
    grid->addWidget(m_edtPort, 4, 1, Qt::AlignLeft);
    grid->addWidget(Label(u"合言葉 :"_s), 5, 0);
    grid->addLayout(SecretRow(u"edtSecret"_s, u"cbSaveSecret"_s, m_edtSecret, m_cbSaveSecret), 5, 1);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    layout->addStretch();

    m_btStartClient =
        AddStartButtons(page, layout, u"btStartClient"_s, u"Button1"_s, &TMainWindow::StartClientClicked);
    return page;
}

QLayout* TMainWindow::SecretRow(const QString& editName, const QString& saveName, QLineEdit*& edit,
                                QCheckBox*& save) {
    auto* row = new QHBoxLayout;
    edit = Named(new QLineEdit, editName);
    edit->setEchoMode(QLineEdit::Password);
    edit->setToolTip(u"設定すると、同じ合言葉の相手とだけ暗号化して接続します。"_s);
    row->addWidget(edit, 1);
    save = Named(new QCheckBox(u"保存する"_s), saveName);
    save->setToolTip(u"合言葉を設定ファイルに保存し、次回も使います。"_s);
    row->addWidget(save);
    connect(edit, &QLineEdit::textChanged, this, &TMainWindow::SecretEdited);
    connect(save, &QCheckBox::toggled, this, &TMainWindow::SaveSecretToggled);
    return row;
}

void TMainWindow::SecretEdited(const QString& text) {
    for (QLineEdit* edit : {m_edtServSecret, m_edtSecret})
        if (edit && edit->text() != text)
            edit->setText(text);
    if (m_config.SaveSecret)
        m_config.Secret = ToUtf8(text);
}

void TMainWindow::SaveSecretToggled(bool save) {
    for (QCheckBox* box : {m_cbServSaveSecret, m_cbSaveSecret})
        if (box && box->isChecked() != save)
            box->setChecked(save);
    m_config.SaveSecret = save;
    m_config.Secret = save && m_edtSecret ? ToUtf8(m_edtSecret->text()) : std::string();
}

// The start and cancel buttons of a start page; Enter anywhere on the page presses start.
QPushButton* TMainWindow::AddStartButtons(QWidget* page, QBoxLayout* layout, const QString& startName,
                                          const QString& cancelName, void (TMainWindow::*onStart)()) {
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* start = Button(startName, u"開始(&O)"_s);
    start->setDefault(true);
    auto* cancel = Button(cancelName, u"キャンセル"_s);
    buttons->addWidget(start);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    connect(start, &QPushButton::clicked, this, onStart);
    connect(cancel, &QPushButton::clicked, this, [this] { m_pcMode->setCurrentWidget(m_tsSelect); });
    for (const auto key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(key), page);
        shortcut->setContext(Qt::WidgetWithChildrenShortcut);
        connect(shortcut, &QShortcut::activated, this, [this, start] { PressDefault(start); });
    }
    return start;
}

QWidget* TMainWindow::BuildWaitPage() {
    auto* page = Named(new QWidget, u"tsWait"_s);
    page->setWindowTitle(u"クライアント待機"_s);
    auto* layout = PageLayout(page);
    layout->addStretch();
    m_lblMsg = Named(Label(QString()), u"lblMsg"_s);
    m_lblMsg->setAlignment(Qt::AlignCenter);
    m_lblMsg->setWordWrap(true);
    layout->addWidget(m_lblMsg);
    // Searching, shown as a busy bar while the page waits.
    m_animate = Named(new QProgressBar, u"Animate1"_s);
    m_animate->setRange(0, 0);
    m_animate->setTextVisible(false);
    m_animate->setMaximumWidth(220);
    layout->addWidget(m_animate, 0, Qt::AlignHCenter);
    m_lblAddresses = Named(Label(QString()), u"lblAddresses"_s);
    m_lblAddresses->setAlignment(Qt::AlignCenter);
    m_lblAddresses->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_lblAddresses);
    m_btCopyAddresses = Button(u"btCopyAddresses"_s, u"接続先をコピー"_s);
    layout->addWidget(m_btCopyAddresses, 0, Qt::AlignHCenter);
    connect(m_btCopyAddresses, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_lblAddresses->text()); });
    layout->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    auto* button3 = Button(u"Button3"_s, u"キャンセル"_s);
    buttons->addWidget(button3);
    buttons->addStretch();
    layout->addLayout(buttons);
    layout->addStretch();
    connect(button3, &QPushButton::clicked, this, [this] { m_controller->CancelWait(); });
    return page;
}

QWidget* TMainWindow::BuildTransferPanel() {
    auto* panel = Named(new QWidget, u"pnlTransfer"_s);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(0);

    m_pcSpaces = Named(new QTabWidget, u"pcSpaces"_s);
    m_tsMain = Named(new QWidget, u"tsMain"_s);
    auto* page = new QVBoxLayout(m_tsMain);
    page->setContentsMargins(4, 4, 4, 4);
    page->setSpacing(4);

    auto* tools = new QHBoxLayout;
    tools->setSpacing(3);
    m_plFile = Button(u"plFile"_s, u"ファイル転送"_s);
    m_plCollectively = Button(u"plCollectively"_s, u"一括承諾"_s);
    m_plCancel = Button(u"plCancel"_s, u"タスクキャンセル"_s);
    m_plSuspend = Button(u"plSuspend"_s, u"一時停止"_s);
    m_plPlugin = Button(u"plPlugin"_s, u"機能"_s);
    for (QPushButton* button : {m_plFile, m_plCollectively, m_plCancel, m_plSuspend, m_plPlugin})
        tools->addWidget(button);
    tools->addStretch();
    m_btBackToStart = Button(u"btBackToStart"_s, u"スタート画面に戻る"_s);
    m_btBackToStart->setVisible(false);
    tools->addWidget(m_btBackToStart);
    connect(m_btBackToStart, &QPushButton::clicked, this,
            [this] { Act([this] { m_controller->ReturnToStart(); }); });
    page->addLayout(tools);

    m_taskList = Named(new TTaskListView, u"lvTask"_s);
    m_taskModel = Named(new TTaskListModel(m_controller->Rows(), this), u"TaskModel"_s);
    m_taskList->setModel(m_taskModel);
    QHeaderView* header = m_taskList->header();
    // The content takes the room the window gives; the bar keeps a width it reads well at.
    header->resizeSection(0, 80);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->resizeSection(2, 160);
    header->resizeSection(3, 60);
    page->addWidget(m_taskList, 1);

    auto* chat = new QHBoxLayout;
    m_edtSay = Named(new QLineEdit, u"edtSay"_s);
    // Files dropped here are offered like anywhere else on the panel.
    m_edtSay->setAcceptDrops(false);
    m_plSend = Button(u"plSend"_s, u"IM送信"_s);
    chat->addWidget(m_edtSay, 1);
    chat->addWidget(m_plSend);
    page->addLayout(chat);
    m_pcSpaces->addTab(m_tsMain, u"ファイル転送"_s);
    layout->addWidget(m_pcSpaces, 1);

    auto* status = Named(new QStatusBar, u"sbStatus"_s);
    m_statusBar = status;
    const std::array<std::pair<QString, int>, 4> panels{
        {{u"Ready"_s, 80}, {u"port: 4006"_s, 65}, {u"0 KB/s"_s, 100}, {u"comto:"_s, 50}}};
    for (std::size_t i = 0; i < panels.size(); ++i) {
        QLabel* label = Named(Label(panels[i].first), u"sbStatus%1"_s.arg(i));
        label->setFrameShape(QFrame::Panel);
        label->setFrameShadow(QFrame::Sunken);
        // At least the panel's width; wider when the text needs it.
        label->setMinimumWidth(panels[i].second);
        if (i == 2)
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        status->addWidget(label, i + 1 == panels.size() ? 1 : 0);
        m_status[i] = label;
    }
    layout->addWidget(status);

    connect(m_plFile, &QPushButton::clicked, this,
            [this] { Act([this] { m_controller->ChooseAndOfferFiles(); }); });
    connect(m_plCollectively, &QPushButton::clicked, this,
            [this] { Act([this] { m_controller->AcceptAll(); }); });
    connect(m_plCancel, &QPushButton::clicked, this,
            [this] { Act([this] { m_controller->CancelRow(m_taskList->SelectedRow()); }); });
    connect(m_plSuspend, &QPushButton::clicked, this,
            [this] { Act([this] { m_controller->SuspendOrResumeRow(m_taskList->SelectedRow()); }); });
    connect(m_plSend, &QPushButton::clicked, this, [this] { SendSay(); });
    connect(m_edtSay, &QLineEdit::returnPressed, this, [this] { SendSay(); });
    connect(m_pcSpaces, &QTabWidget::currentChanged, this, [this](int index) {
        // A highlighted tab returns to normal once its page is shown.
        m_pcSpaces->tabBar()->setTabTextColor(index, QColor());
    });
    connect(m_taskList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateSelectionControls(); });
    // The selected row's task may end or change state under the buttons.
    connect(m_taskModel, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to) {
                const int selected = m_taskList->SelectedRow();
                if (selected >= from.row() && selected <= to.row())
                    UpdateSelectionControls();
            });
    connect(m_taskModel, &QAbstractItemModel::rowsInserted, this,
            [this](const QModelIndex&, int, int last) { m_taskList->MarkRow(last); });
    connect(header, &QHeaderView::sectionClicked, this, [this](int section) {
        if (section == 3)
            SetTimeViewMode(!m_controller->Rows().TimeViewMode);
    });
    m_taskList->OnLinkClicked = [this](int row, const QPoint& at) { ShowAnswerMenu(row, at); };
    m_taskList->OnPopup = [this](const QPoint& at) { ShowListPopup(at); };

    panel->setAcceptDrops(true);
    panel->installEventFilter(this);
    return panel;
}

QWidget* TMainWindow::BuildSettingPanel() {
    auto* panel = Named(new QWidget, u"pnlSetting"_s);
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(8, 8, 8, 8);
    m_frmSetting = new TSettingsFrame(m_config.BufferSize, m_controller->Plugins());
    layout->addWidget(m_frmSetting, 1);
    auto* button5 = RightButton(layout, u"Button5"_s, u"閉じる(&C)"_s);
    connect(button5, &QPushButton::clicked, this, [this] { SettingsCloseClicked(); });
    // Escape closes the panel as its button does.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), panel);
    escape->setContext(Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, [this] { SettingsCloseClicked(); });

    m_frmSetting->OnBrowse = [this] {
        Act([this] {
            if (const auto folder = m_dialogs.ChooseFolder("保存先", m_frmSetting->Form().ReceiveTo))
                m_frmSetting->SetReceiveTo(FromUtf8(WithTrailingSlash(folder->string())));
        });
    };
    m_frmSetting->OnRegister = [this] {
        Act([this] { m_controller->RegisterWithMessenger(m_programFile.string()); });
    };
    m_frmSetting->OnUnregister = [this] { Act([this] { m_controller->UnregisterFromMessenger(); }); };
    m_frmSetting->OnConfigurePlugin = [this](std::size_t index) {
        TFernPluginList& plugins = m_controller->Plugins();
        if (index < plugins.Count())
            plugins.Items(index).Configuration(static_cast<QWidget*>(this));
    };
    return panel;
}

QWidget* TMainWindow::BuildVersionPanel() {
    m_version = new TVersionPanel(m_dialogs);
    m_version->OnOpenUrl = [this](const QString& url) { OpenUrl(ToUtf8(url)); };
    m_version->OnClose = [this] { ClosePanel(); };
    return m_version;
}

QWidget* TMainWindow::BuildHelpPanel() {
    m_help = new THelpPanel;
    m_help->OnOpenUrl = [this](const QString& url) { OpenUrl(ToUtf8(url)); };
    m_help->OnClose = [this] { ClosePanel(); };
    return m_help;
}

void TMainWindow::BuildMenus() {
    QMenu* file = Named(menuBar()->addMenu(u"ファイル(&F)"_s), u"File1"_s);
    QAction* settings = file->addAction(u"設定(&S)"_s);
    settings->setObjectName(u"miSetting"_s);
    settings->setShortcut(QKeySequence(Qt::Key_F12));
    connect(settings, &QAction::triggered, this, [this] { Act([this] { ShowSettings(); }); });
    file->addSeparator();
    QAction* exit = file->addAction(u"終了(&X)"_s);
    exit->setObjectName(u"Exit1"_s);
    exit->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    m_miTransfer = Named(menuBar()->addMenu(u"転送(&T)"_s), u"miTransfer"_s);
    m_miTransFile = m_miTransfer->addAction(u"ファイル転送(&F)"_s);
    m_miTransFile->setObjectName(u"miTransFile"_s);
    m_miTransFile->setShortcut(QKeySequence(Qt::Key_F5));
    connect(m_miTransFile, &QAction::triggered, this,
            [this] { Act([this] { m_controller->ChooseAndOfferFiles(); }); });
    m_miBackToStart = m_miTransfer->addAction(u"スタート画面に戻る(&B)"_s);
    m_miBackToStart->setObjectName(u"miBackToStart"_s);
    m_miBackToStart->setEnabled(false);
    connect(m_miBackToStart, &QAction::triggered, this,
            [this] { Act([this] { m_controller->ReturnToStart(); }); });
    m_miTransfer->addSeparator();
    m_miSaveLog = m_miTransfer->addAction(u"ログ出力(&L)"_s);
    m_miSaveLog->setObjectName(u"miSaveLog"_s);
    m_miSaveLog->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    connect(m_miSaveLog, &QAction::triggered, this, [this] { Act([this] { m_controller->SaveLog(); }); });
    // The plug-in entries (none yet) in the menu and under the button "機能".
    m_pluginMenu = Named(m_miTransfer->addMenu(u"機能(&P)"_s), u"miPlugin"_s);
    m_pmPlugin = Named(new QMenu(this), u"pmPlugin"_s);
    m_plPlugin->setMenu(m_pmPlugin);
    m_miTransfer->menuAction()->setVisible(false);

    QMenu* help = Named(menuBar()->addMenu(u"ヘルプ(&H)"_s), u"Help1"_s);
    QAction* tutorial = help->addAction(u"使い方(&H)"_s);
    tutorial->setObjectName(u"Tutorial1"_s);
    tutorial->setShortcut(QKeySequence(Qt::Key_F1));
    connect(tutorial, &QAction::triggered, this, [this] { ShowHelp(); });
    help->addSeparator();
    QAction* check = help->addAction(u"新しいバージョンを確認する(&C)"_s);
    check->setObjectName(u"C1"_s);
    check->setShortcut(QKeySequence(Qt::Key_F11));
    connect(check, &QAction::triggered, this,
            [this] { Act([this] { m_controller->CheckForNewVersion(m_programFile, m_versionFileUrl); }); });
    // F12 shows here too, but the key belongs to "設定(&S)", the first item that carries it.
    QAction* about = help->addAction(u"バージョン情報(&A)\tF12"_s);
    about->setObjectName(u"About1"_s);
    connect(about, &QAction::triggered, this, [this] { ShowVersionPanel(); });
}

void TMainWindow::BuildPopups() {
    m_pmReceiveOrNot = Named(new QMenu(this), u"pmReceiveOrNot"_s);
    QAction* accept = m_pmReceiveOrNot->addAction(u"承諾(&A)"_s);
    accept->setObjectName(u"miAccept"_s);
    QAction* deny = m_pmReceiveOrNot->addAction(u"拒否(&D)"_s);
    deny->setObjectName(u"miDeny"_s);
    connect(accept, &QAction::triggered, this,
            [this] { Act([this] { m_controller->AnswerOffer(m_answerRow, true); }); });
    connect(deny, &QAction::triggered, this,
            [this] { Act([this] { m_controller->AnswerOffer(m_answerRow, false); }); });

    m_pmPopup = Named(new QMenu(this), u"pmPopup"_s);
    m_miCopy = m_pmPopup->addAction(u"内容をコピー(&C)"_s);
    m_miCopy->setObjectName(u"miCopy"_s);
    m_miCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    m_pmPopup->addSeparator();
    m_miCancel = m_pmPopup->addAction(QIcon(u":/fernwaypost/rows/8.png"_s), u"キャンセル(&R)"_s);
    m_miCancel->setObjectName(u"miCancel"_s);
    m_miCancel->setShortcut(QKeySequence(Qt::Key_Delete));
    m_miSuspend = m_pmPopup->addAction(u"一時停止(&S)"_s);
    m_miSuspend->setObjectName(u"miSuspend"_s);
    m_miSuspend->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_pmPopup->addSeparator();
    QMenu* view = Named(m_pmPopup->addMenu(u"表示(&V)"_s), u"miView"_s);
    auto* group = new QActionGroup(this);
    m_miRemain = view->addAction(u"残り時間"_s);
    m_miRemain->setObjectName(u"miRemain"_s);
    m_miPast = view->addAction(u"経過時間"_s);
    m_miPast->setObjectName(u"miPast"_s);
    for (QAction* mode : {m_miRemain, m_miPast}) {
        mode->setCheckable(true);
        group->addAction(mode);
    }
    m_miRemain->setChecked(true);
    // The keys of the popup work while the list has the focus.
    for (QAction* action : {m_miCopy, m_miCancel, m_miSuspend}) {
        action->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        m_taskList->addAction(action);
    }
    connect(m_pmPopup, &QMenu::aboutToShow, this,
            [this] { m_miCopy->setEnabled(m_taskList->SelectedRow() >= 0); });
    connect(m_miCopy, &QAction::triggered, this, [this] { CopyContent(); });
    connect(m_miCancel, &QAction::triggered, this, [this] {
        if (m_plCancel->isEnabled())
            Act([this] { m_controller->CancelRow(m_taskList->SelectedRow()); });
    });
    // The popup's suspend does what the button does.
    connect(m_miSuspend, &QAction::triggered, this, [this] {
        if (m_plSuspend->isEnabled())
            Act([this] { m_controller->SuspendOrResumeRow(m_taskList->SelectedRow()); });
    });
    connect(m_miRemain, &QAction::triggered, this, [this] { SetTimeViewMode(true); });
    connect(m_miPast, &QAction::triggered, this, [this] { SetTimeViewMode(false); });
}

void TMainWindow::BuildTray() {
    m_tray = Named(new QSystemTrayIcon(windowIcon(), this), u"TrayIcon1"_s);
    m_tray->setToolTip(u"Fernwaypost"_s);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger)
            RestoreFromTray();
    });
}

// --- The view of the controller ----------------------------------------------

void TMainWindow::Act(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        m_controller->ShowError(error.what());
    }
}

void TMainWindow::ShowPanel(QWidget* panel) {
    if (panel == m_pnlStart || panel == m_pnlTransfer) {
        m_basePanel = panel;
        // The settings, version and help panels lie over the others until closed.
        QWidget* current = m_panels->currentWidget();
        if (current == m_pnlSetting || current == m_pnlVer || current == m_pnlHelp)
            return;
    }
    m_panels->setCurrentWidget(panel);
}

void TMainWindow::ClosePanel() {
    m_panels->setCurrentWidget(m_basePanel);
}

void TMainWindow::ShowStartPanel(TStartPage page) {
    ShowPanel(m_pnlStart);
    m_miTransfer->menuAction()->setVisible(false);
    switch (page) {
        case TStartPage::spSelect:
            m_pcMode->setCurrentWidget(m_tsSelect);
            m_plButton1->setFocus();
            break;
        case TStartPage::spServer:
            m_pcMode->setCurrentWidget(m_tsServer);
            break;
        case TStartPage::spClient:
            m_pcMode->setCurrentWidget(m_tsClient);
            break;
        case TStartPage::spWait:
            m_lblMsg->clear();
            m_pcMode->setCurrentWidget(m_tsWait);
            break;
    }
    m_animate->setVisible(page == TStartPage::spWait);
    show();
}

void TMainWindow::SetWaitMessage(std::string_view text) {
    m_lblMsg->setText(FromUtf8(text));
    m_lblMsg->repaint();
}

void TMainWindow::SetWaitAddresses(std::string_view text) {
    m_lblAddresses->setText(FromUtf8(text));
    m_lblAddresses->setVisible(!text.empty());
    m_btCopyAddresses->setVisible(!text.empty());
}

void TMainWindow::ShowTransferPanel() {
    ShowPanel(m_pnlTransfer);
    m_miTransfer->menuAction()->setVisible(true);
}

void TMainWindow::SetStatusText(int panel, std::string_view text) {
    if (panel >= 0 && panel < static_cast<int>(m_status.size()))
        m_status[static_cast<std::size_t>(panel)]->setText(FromUtf8(text));
}

void TMainWindow::ShowStatusMessage(std::string_view text) {
    m_statusBar->showMessage(FromUtf8(text), 8000);
}

void TMainWindow::EnableTransferControls(bool enabled) {
    for (QWidget* control : {static_cast<QWidget*>(m_plFile), static_cast<QWidget*>(m_plSend),
                             static_cast<QWidget*>(m_plPlugin)})
        control->setEnabled(enabled);
    m_miTransFile->setEnabled(enabled);
    m_pluginMenu->setEnabled(enabled);
}

void TMainWindow::ShowSettings() {
    m_frmSetting->Load(FormFromConfig(m_config), FromUtf8(m_programFile.string()));
    m_frmSetting->SetMessengerAvailable(m_controller->MessengerAvailable());
    ShowPanel(m_pnlSetting);
}

QString TMainWindow::GeometryFile() const {
    // Beside the settings, in a file of the window's own: config.ini keeps only the program's keys.
    return FromUtf8((m_config.Path().parent_path() / "window.ini").string());
}

void TMainWindow::RestoreGeometry() {
    const QSettings stored(GeometryFile(), QSettings::IniFormat);
    const QByteArray geometry = stored.value(u"Window/Geometry"_s).toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
}

void TMainWindow::SaveGeometry() {
    QSettings stored(GeometryFile(), QSettings::IniFormat);
    stored.setValue(u"Window/Geometry"_s, saveGeometry());
}

void TMainWindow::WindowClosing() {
    SaveGeometry();
    // The orderly end of the session runs after this; the user need not watch it.
    m_tray->hide();
    hide();
}

void TMainWindow::SessionEnded(bool ended) {
    m_btBackToStart->setVisible(ended);
    m_miBackToStart->setEnabled(ended);
}

void TMainWindow::Notify(std::string_view summary, std::string_view body) {
    if (!isActiveWindow())
        m_notifier->Notify(FromUtf8(summary), FromUtf8(body));
}

void TMainWindow::Alert() {
    AlertPage(m_tsMain);
}

void TMainWindow::AlertPage(QWidget* page) {
    const auto alarm = [this] {
        if (m_config.SoundAlarm)
            m_alarm->Play();
    };
    if (!isActiveWindow()) {
        QApplication::alert(this);
        alarm();
    } else if (page && m_pcSpaces->currentWidget() != page) {
        m_pcSpaces->tabBar()->setTabTextColor(m_pcSpaces->indexOf(page),
                                              palette().color(QPalette::Highlight));
        alarm();
    }
}

void TMainWindow::OpenUrl(std::string_view url) {
    QDesktopServices::openUrl(QUrl(FromUtf8(url)));
}

QWidget* TMainWindow::Space(void* handle) const {
    // Only compared, never followed: a handle that names no page gives nothing.
    const int index = m_pcSpaces->indexOf(static_cast<QWidget*>(handle));
    return index < 0 ? nullptr : m_pcSpaces->widget(index);
}

void* TMainWindow::CreateSpace(std::string_view caption) {
    auto* page = new QWidget;
    QString text = FromUtf8(caption);
    text.replace(u'&', u"&&"_s);
    m_pcSpaces->addTab(page, text);
    m_pcSpaces->setCurrentWidget(page);
    return page;
}

void TMainWindow::DeleteSpace(void* handle) {
    QWidget* page = Space(handle);
    // The transfer page is the window's own and stays.
    if (!page || page == m_tsMain)
        return;
    m_pcSpaces->removeTab(m_pcSpaces->indexOf(page));
    // Gone from the tabs at once; destroyed once the plug-in's own code has
    // returned, which may run inside one of the page's widgets.
    page->hide();
    page->deleteLater();
}

void TMainWindow::AlertSpace(void* handle) {
    AlertPage(Space(handle));
}

void* TMainWindow::SpaceObject(void* handle) {
    return Space(handle);
}

void* TMainWindow::Application() {
    return QCoreApplication::instance();
}

void TMainWindow::SelectionChanged() {
    m_taskList->viewport()->update();
    UpdateSelectionControls();
}

// --- User actions ------------------------------------------------------------

void TMainWindow::Discover() {
    m_controller->Discover();
}

void TMainWindow::ShowAddresses(std::string_view local, std::string_view wan) {
    m_edtLocalAddr->setText(FromUtf8(local));
    m_edtWANAddr->setText(FromUtf8(wan));
}

bool TMainWindow::Start(const QStringList& arguments) {
    show();
    std::vector<std::string> args;
    for (const QString& argument : arguments)
        args.push_back(ToUtf8(argument));
    bool started = false;
    Act([&] { started = m_controller->ProcessCommandLine(args); });
    return started;
}

void TMainWindow::LoadPlugins(const std::filesystem::path& folder) {
    m_pluginFolder = folder;
    m_controller->LoadPlugins(folder);
    // One entry per plug-in in list order, captioned with its function name
    // and tagged with its index; the transfer menu shows the same entries.
    m_pluginMenu->clear();
    m_pmPlugin->clear();
    const TFernPluginList& plugins = m_controller->Plugins();
    for (std::size_t index = 0; index < plugins.Count(); ++index) {
        QString caption = FromUtf8(codec::Cp932ToUtf8(plugins.Items(index).FunctionName()));
        caption.replace(u'&', u"&&"_s);
        QAction* entry = m_pmPlugin->addAction(caption);
        entry->setData(static_cast<qulonglong>(index));
        connect(entry, &QAction::triggered, this,
                [this, index] { Act([this, index] { m_controller->InvitePlugin(index); }); });
        m_pluginMenu->addAction(entry);
    }
}

void TMainWindow::ShowVersionPanel() {
    ShowPanel(m_pnlVer);
    m_version->Open();
}

void TMainWindow::ShowHelp() {
    m_help->Open();
    ShowPanel(m_pnlHelp);
}

void TMainWindow::SettingsCloseClicked() {
    // A save folder that is no folder keeps the panel open, as does a file that cannot be written.
    Act([this] {
        CloseSettings(m_frmSetting->Form(), m_config, m_controller->Transer());
        ClosePanel();
    });
}

void TMainWindow::ApplySettingsToControls() {
    m_cbLogin->setChecked(m_config.UseEasyConnection);
    m_rbUser->setChecked(m_config.UseEasyConnection);
    m_rbDirect->setChecked(!m_config.UseEasyConnection);
    m_edtUserName->setText(FromUtf8(m_config.UserName));
    const QString port = QString::number(m_config.Port);
    m_edtServPort->setText(port);
    m_edtPort->setText(port);
    // A phrase typed but not kept stays in its field while the program runs.
    if (m_config.SaveSecret)
        m_edtSecret->setText(FromUtf8(m_config.Secret));
    m_cbSaveSecret->setChecked(m_config.SaveSecret);
    m_cbConnectTo->clear();
    for (const std::string& address : m_config.DirectConnectTo)
        m_cbConnectTo->addItem(FromUtf8(address));
    if (m_cbConnectTo->count() > 0)
        m_cbConnectTo->setCurrentIndex(0);
    SetTimeViewMode(m_config.TimeViewMode);
}

void TMainWindow::SetTimeViewMode(bool remaining) {
    m_controller->SetTimeViewMode(remaining);
    m_taskModel->TimeViewModeChanged();
    (remaining ? m_miRemain : m_miPast)->setChecked(true);
}

void TMainWindow::UpdateSelectionControls() {
    const TSelectionState state = SelectionFor(m_controller->Rows(), m_taskList->SelectedRow());
    m_plCancel->setEnabled(state.CancelEnabled);
    m_miCancel->setEnabled(state.CancelEnabled);
    m_plSuspend->setEnabled(state.SuspendEnabled);
    m_miSuspend->setEnabled(state.SuspendEnabled);
    if (state.SuspendEnabled) {
        const QString caption = state.Resume ? u"再開"_s : u"一時停止"_s;
        m_plSuspend->setText(caption);
        m_miSuspend->setText(caption);
    }
}

void TMainWindow::ShowAnswerMenu(int row, const QPoint& globalPos) {
    m_answerRow = row;
    m_pmReceiveOrNot->popup(globalPos);
}

void TMainWindow::ShowListPopup(const QPoint& globalPos) {
    m_pmPopup->popup(globalPos);
}

void TMainWindow::CopyContent() {
    const int row = m_taskList->SelectedRow();
    if (row < 0)
        return;
    QApplication::clipboard()->setText(m_taskModel->index(row, 1).data().toString());
}

void TMainWindow::SendSay() {
    Act([this] {
        if (m_controller->Say(ToUtf8(m_edtSay->text())))
            m_edtSay->clear();
    });
}

void TMainWindow::StartServerClicked() {
    Act([this] {
        m_controller->StartServer(ToUtf8(m_edtServPort->text()), m_cbLogin->isChecked(),
                                  ToUtf8(m_edtUserName->text()), ToUtf8(m_edtServSecret->text()));
    });
}

void TMainWindow::StartClientClicked() {
    // The connect may run the loop while it waits for the relay: no second start meanwhile.
    m_btStartClient->setEnabled(false);
    const auto enable = qScopeGuard([this] { m_btStartClient->setEnabled(true); });
    Act([this] {
        m_controller->StartClient(m_rbUser->isChecked(), ToUtf8(m_edtServUser->text()),
                                  ToUtf8(m_cbConnectTo->currentText()), ToUtf8(m_edtPort->text()),
                                  ToUtf8(m_edtSecret->text()));
    });
}

void TMainWindow::ShowClientPage() {
    m_pcMode->setCurrentWidget(m_tsClient);
    if (!m_config.UseEasyConnection)
        m_cbConnectTo->setFocus();
}

void TMainWindow::PressDefault(QPushButton* defaultButton) {
    // Enter on a focused button presses that button; anywhere else on the page, the default one.
    if (auto* focused = qobject_cast<QPushButton*>(QApplication::focusWidget());
        focused && focused->isVisible() && focused->window() == this) {
        focused->click();
        return;
    }
    defaultButton->click();
}

void TMainWindow::OfferDropped(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_directory(path, error)) {
        m_controller->OfferFile(path);
        return;
    }
    // A folder offers the files in it and in its subfolders, each under its own name only.
    std::vector<std::filesystem::path> files;
    const auto options = std::filesystem::directory_options::skip_permission_denied;
    for (auto it = std::filesystem::recursive_directory_iterator(path, options, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_regular_file(error))
            files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files)
        m_controller->OfferFile(file);
}

void TMainWindow::RestoreFromTray() {
    showNormal();
    raise();
    activateWindow();
    m_tray->hide();
}

// --- Events ------------------------------------------------------------------

void TMainWindow::closeEvent(QCloseEvent* event) {
    // A close that comes while the session is ending starts nothing more.
    if (m_shuttingDown) {
        event->ignore();
        return;
    }
    m_shuttingDown = true;
    bool closing = false;
    Act([&] { closing = m_controller->CloseRequested(); });
    m_shuttingDown = false;
    if (!closing) {
        event->ignore();
        return;
    }
    m_tray->hide();
    event->accept();
}

void TMainWindow::showEvent(QShowEvent* event) {
    if (!event->spontaneous())
        ApplySettingsToControls();
    QMainWindow::showEvent(event);
}

void TMainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !(windowState() & Qt::WindowMinimized))
        return;
    // Without a notification area the window could not come back; it stays a plain minimised window.
    if (m_config.MinimizeOnTray && QSystemTrayIcon::isSystemTrayAvailable()) {
        QTimer::singleShot(0, this, [this] {
            hide();
            m_tray->show();
        });
    }
}

bool TMainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_image1) {
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            OpenUrl(HomePageURL);
        return QMainWindow::eventFilter(watched, event);
    }
    if (watched != m_pnlTransfer)
        return QMainWindow::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (drag->mimeData()->hasUrls()) {
                drag->acceptProposedAction();
                return true;
            }
            return false;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QList<QUrl> urls = drop->mimeData()->urls();
            drop->acceptProposedAction();
            Act([&] {
                for (const QUrl& url : urls)
                    if (url.isLocalFile())
                        OfferDropped(std::filesystem::path(ToUtf8(url.toLocalFile())));
            });
            return true;
        }
        default:
            return false;
    }
}

}  // namespace fwp
