#include "ui/settings_frame.h"

#include <array>
#include <filesystem>

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/codec.h"
#include "plugin/plugin.h"
#include "ui/widgets.h"

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

using namespace widgets;

// The pages in menu order: object name, caption, and the picture of the window's image list.
struct TSettingPage {
    const char16_t* Name;
    const char16_t* Caption;
    int Image;
};
constexpr std::array<TSettingPage, 5> SettingPages{{
    {u"TabSheet1", u"送信", 1},
    {u"TabSheet2", u"受信", 2},
    {u"TabSheet5", u"一般", 7},
    {u"TabSheet3", u"メッセンジャー", 4},
    {u"TabSheet4", u"プラグイン設定", 6},
}};

QSpinBox* NumberField(const QString& name, std::int64_t min, std::int64_t max) {
    auto* field = Named(new QSpinBox, name);
    field->setRange(static_cast<int>(min), static_cast<int>(max));
    field->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    field->setMinimumWidth(100);
    return field;
}

// The field's text as a number: no whole number counts as the minimum, the rest is brought into range.
std::int32_t FieldValue(const QSpinBox* field) {
    return static_cast<std::int32_t>(
        NumberFieldValue(ToUtf8(field->cleanText()), field->minimum(), field->maximum()));
}

QCheckBox* CheckBox(const QString& name, const QString& text) {
    return Named(new QCheckBox(text), name);
}

// A page's layout, its controls from the top.
QVBoxLayout* PageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    return layout;
}

QString Text(const std::string& cp932) {
    return FromUtf8(codec::Cp932ToUtf8(cp932));
}

}  // namespace

TSettingsFrame::TSettingsFrame(std::int32_t bufferSize, const TFernPluginList& plugins, QWidget* parent)
    : QWidget(parent), m_plugins(plugins) {
    setObjectName(u"frmSetting"_s);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* menuRow = new QHBoxLayout;
    menuRow->addWidget(Label(u"メニュー"_s));
    m_cbSettingMenu = Named(new QComboBox, u"cbSettingMenu"_s);
    m_cbSettingMenu->setIconSize(QSize(16, 16));
    m_cbSettingMenu->setMinimumWidth(180);
    menuRow->addWidget(m_cbSettingMenu);
    menuRow->addStretch();
    layout->addLayout(menuRow);

    m_pcSetting = Named(new QStackedWidget, u"pcSetting"_s);
    m_pcSetting->setFrameShape(QFrame::StyledPanel);
    const std::array<QWidget*, 5> pages{BuildSendPage(), BuildReceivePage(), BuildGeneralPage(),
                                        BuildMessengerPage(), BuildPluginPage()};
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const TSettingPage& page = SettingPages[i];
        pages[i]->setObjectName(QString::fromUtf16(page.Name));
        pages[i]->setWindowTitle(QString::fromUtf16(page.Caption));
        m_pcSetting->addWidget(pages[i]);
        m_cbSettingMenu->addItem(QIcon(u":/fernwaypost/rows/%1.png"_s.arg(page.Image)),
                                 QString::fromUtf16(page.Caption));
    }
    layout->addWidget(m_pcSetting, 1);
    connect(m_cbSettingMenu, &QComboBox::currentIndexChanged, m_pcSetting, &QStackedWidget::setCurrentIndex);
    m_cbSettingMenu->setCurrentIndex(0);
    m_pcSetting->setCurrentIndex(0);

    // The preset is chosen once, here: the largest that is not above the buffer size.
    m_cbPreset->setCurrentIndex(InitialPresetIndex(bufferSize));
}

QWidget* TSettingsFrame::BuildSendPage() {
    auto* page = new QWidget;
    auto* layout = PageLayout(page);
    auto* grid = new QGridLayout;
    grid->addWidget(Label(u"パケットタイプ :"_s), 0, 0);
    m_cbPacket = Named(new QComboBox, u"cbPacket"_s);
    m_cbPacket->addItems({u"通常"_s, u"圧縮"_s, u"暗号化"_s});
    m_cbPacket->setToolTip(u"転送するデータの加工処理を選択します"_s);
    grid->addWidget(m_cbPacket, 0, 1, Qt::AlignLeft);

    grid->addWidget(Label(u"バッファサイズ :"_s), 1, 0);
    m_cbPreset = Named(new QComboBox, u"cbPreset"_s);
    for (const TBufferPreset& preset : BufferPresets)
        m_cbPreset->addItem(QString::fromUtf8(preset.Caption));
    m_cbPreset->setToolTip(u"速度に適したバッファサイズを設定します"_s);
    grid->addWidget(m_cbPreset, 1, 1, Qt::AlignLeft);
    m_seBufSize = NumberField(u"seBufSize"_s, MinBufferSize, MaxBufferSize);
    m_seBufSize->setSingleStep(16);
    m_seBufSize->setToolTip(u"データの送信単位です"_s);
    grid->addWidget(m_seBufSize, 2, 1, Qt::AlignLeft);
    auto* note = Label(u"モバイル環境などの方は必ず適したバッファサイズを設定して下さい。"_s);
    note->setWordWrap(true);
    grid->addWidget(note, 3, 0, 1, 2);

    grid->addWidget(Label(u"最大同時送信数 :"_s), 4, 0);
    m_seCount = NumberField(u"seCount"_s, MinSendCount, MaxSendCount);
    grid->addWidget(m_seCount, 4, 1, Qt::AlignLeft);

    grid->addWidget(Label(u"送信速度の上限 :"_s), 5, 0);
    m_seRate = NumberField(u"seRate"_s, 0, MaxSendRateField);
    m_seRate->setSingleStep(1024);
    m_seRate->setSuffix(u" バイト/秒"_s);
    m_seRate->setToolTip(u"ファイルのデータを送る速さの上限です。0 で制限しません"_s);
    grid->addWidget(m_seRate, 5, 1, Qt::AlignLeft);
    // Leaving a number field brings what was typed into its range.
    for (QSpinBox* field : {m_seBufSize, m_seCount, m_seRate})
        field->installEventFilter(this);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);
    m_cbReconnect = CheckBox(u"cbReconnect"_s, u"相手の応答が無くなったら再接続する(&R)"_s);
    layout->addWidget(m_cbReconnect);
    layout->addStretch();

    // Choosing a preset puts its size into the field; the choice itself is not kept.
    connect(m_cbPreset, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && index < static_cast<int>(BufferPresets.size()))
            m_seBufSize->setValue(BufferPresets[static_cast<std::size_t>(index)].Bytes);
    });
    return page;
}

QWidget* TSettingsFrame::BuildReceivePage() {
    auto* page = new QWidget;
    auto* layout = PageLayout(page);
    // The check box heads the group of what it governs.
    auto* group = Named(new QGroupBox, u"GroupBox1"_s);
    auto* inGroup = new QVBoxLayout(group);
    m_cbAutoReceive = CheckBox(u"cbAutoReceive"_s, u"受信時に、自動的に指定場所へ保存する(&S)"_s);
    inGroup->addWidget(m_cbAutoReceive);
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(Label(u"保存先 :"_s));
    m_leReceiveTo = Named(new QLineEdit, u"leReceiveTo"_s);
    folderRow->addWidget(m_leReceiveTo, 1);
    auto* button6 = Button(u"Button6"_s, u"参照"_s);
    folderRow->addWidget(button6);
    inGroup->addLayout(folderRow);
    m_cbResume = CheckBox(u"cbResume"_s, u"リジューム受信をする(&R)"_s);
    inGroup->addWidget(m_cbResume);
    layout->addWidget(group);
    m_cbAutoInviteAllowing = CheckBox(u"cbAutoInviteAllowing"_s, u"プラグインの招待を自動で承諾する"_s);
    layout->addWidget(m_cbAutoInviteAllowing);
    m_cbAlarm = CheckBox(u"cbAlarm"_s, u"フォーカスが無い時にタスクが実行された場合は音を鳴らす(&A)"_s);
    layout->addWidget(m_cbAlarm);
    layout->addStretch();
    connect(button6, &QPushButton::clicked, this, [this] {
        if (OnBrowse)
            OnBrowse();
    });
    return page;
}

QWidget* TSettingsFrame::BuildGeneralPage() {
    auto* page = new QWidget;
    auto* layout = PageLayout(page);
    m_cbUseUPnP = CheckBox(u"cbUseUPnP"_s, u"サーバ開始時にUPnPでポート開放する(&U)"_s);
    m_cbUseUPnP->setToolTip(u"ルーターがUPnPに答えないときは、NAT-PMPでポートを開けます"_s);
    m_cbTaskTray = CheckBox(u"cbTaskTray"_s, u"最小化時にタスクトレイに格納する(&T)"_s);
    layout->addWidget(m_cbUseUPnP);
    layout->addWidget(m_cbTaskTray);
    layout->addStretch();
    return page;
}

void TSettingsFrame::SetMessengerAvailable(bool available) {
    QPalette colours = m_lblWarning->palette();
    if (available) {
        m_lblWarning->setText(u"プログラムのパスに日本語が含まれると、上手く起動しません"_s);
        colours.setColor(QPalette::WindowText, Qt::red);
    } else {
        m_lblWarning->setText(u"このシステムには対応しているメッセンジャーがありません。"_s);
        colours = palette();
    }
    m_lblWarning->setPalette(colours);
}

QWidget* TSettingsFrame::BuildMessengerPage() {
    auto* page = new QWidget;
    auto* layout = PageLayout(page);
    auto* about = Label(u"・MSN MessengerとFernwaypostを連動させることが出来ます。"_s);
    about->setWordWrap(true);
    layout->addWidget(about);
    auto* warning =
        Named(Label(u"プログラムのパスに日本語が含まれると、上手く起動しません"_s), u"lblWarning"_s);
    warning->setWordWrap(true);
    m_lblWarning = warning;
    SetMessengerAvailable(true);
    layout->addWidget(warning);
    // The path greyed: the user sees whether it holds characters that prevent registering.
    m_lblExepath = Named(Label(QString()), u"lblExepath"_s);
    m_lblExepath->setWordWrap(true);
    m_lblExepath->setEnabled(false);
    layout->addWidget(m_lblExepath);
    auto* buttons = new QHBoxLayout;
    auto* plButton4 = Button(u"plButton4"_s, u"登録する"_s);
    auto* plButton5 = Button(u"plButton5"_s, u"解除する"_s);
    buttons->addWidget(plButton4);
    buttons->addWidget(plButton5);
    buttons->addStretch();
    layout->addLayout(buttons);
    m_cbEasyConnect = CheckBox(u"cbEasyConnect"_s, u"簡単接続サービスを使用する"_s);
    m_cbEasyConnect->setToolTip(u"LAN内で使用する場合は、チェックを外して下さい。"_s);
    layout->addWidget(m_cbEasyConnect);
    layout->addStretch();
    connect(plButton4, &QPushButton::clicked, this, [this] {
        if (OnRegister)
            OnRegister();
    });
    connect(plButton5, &QPushButton::clicked, this, [this] {
        if (OnUnregister)
            OnUnregister();
    });
    return page;
}

QWidget* TSettingsFrame::BuildPluginPage() {
    m_tsPlugins = new QWidget;
    auto* layout = PageLayout(m_tsPlugins);
    m_lvPlugins = Named(new QTreeWidget, u"lvPlugins"_s);
    m_lvPlugins->setColumnCount(5);
    m_lvPlugins->setHeaderLabels({u"ファイル名"_s, u"機能"_s, u"Ver."_s, u"作者"_s, u"説明"_s});
    m_lvPlugins->setRootIsDecorated(false);
    m_lvPlugins->setItemsExpandable(false);
    m_lvPlugins->setUniformRowHeights(true);
    m_lvPlugins->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_lvPlugins->setSelectionMode(QAbstractItemView::SingleSelection);
    m_lvPlugins->setSelectionBehavior(QAbstractItemView::SelectRows);
    QHeaderView* header = m_lvPlugins->header();
    header->setStretchLastSection(false);
    header->resizeSection(0, 70);
    header->resizeSection(1, 90);
    header->resizeSection(3, 70);
    header->resizeSection(4, 180);
    // The selection stays as visible as with the focus when the list loses it.
    QPalette keep = m_lvPlugins->palette();
    for (const auto role : {QPalette::Highlight, QPalette::HighlightedText})
        keep.setColor(QPalette::Inactive, role, keep.color(QPalette::Active, role));
    m_lvPlugins->setPalette(keep);
    layout->addWidget(m_lvPlugins, 1);
    auto* button1 = RightButton(layout, u"Button1"_s, u"設定(&S)"_s);
    connect(button1, &QPushButton::clicked, this, [this] { ConfigureSelected(); });
    connect(m_lvPlugins, &QTreeWidget::itemDoubleClicked, this, [this] { ConfigureSelected(); });
    m_tsPlugins->installEventFilter(this);
    return m_tsPlugins;
}

bool TSettingsFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_tsPlugins && event->type() == QEvent::Show)
        FillPlugins();
    if ((watched == m_seBufSize || watched == m_seCount || watched == m_seRate) &&
        event->type() == QEvent::FocusOut) {
        auto* field = static_cast<QSpinBox*>(watched);
        field->setValue(FieldValue(field));
    }
    return QWidget::eventFilter(watched, event);
}

void TSettingsFrame::FillPlugins() {
    m_lvPlugins->clear();
    for (std::size_t i = 0; i < m_plugins.Count(); ++i) {
        const TFernPlugin& plugin = m_plugins.Items(i);
        const std::string file = std::filesystem::path(plugin.FileName()).filename().string();
        auto* row = new QTreeWidgetItem(
            {FromUtf8(file), Text(plugin.GetInfo(FWP_INFO_FUNCTION)), Text(plugin.GetInfo(FWP_INFO_VERSION)),
             Text(plugin.GetInfo(FWP_INFO_AUTHOR)), Text(plugin.GetInfo(FWP_INFO_DESCRIPTION))});
        m_lvPlugins->addTopLevelItem(row);
    }
    // Each column as wide as its longest entry; the description takes what is left.
    for (int column = 0; column + 1 < m_lvPlugins->columnCount(); ++column)
        m_lvPlugins->resizeColumnToContents(column);
}

int TSettingsFrame::SelectedPlugin() const {
    const QList<QTreeWidgetItem*> selected = m_lvPlugins->selectedItems();
    if (selected.isEmpty())
        return -1;
    return m_lvPlugins->indexOfTopLevelItem(selected.first());
}

void TSettingsFrame::ConfigureSelected() {
    const int row = SelectedPlugin();
    if (row >= 0 && OnConfigurePlugin)
        OnConfigurePlugin(static_cast<std::size_t>(row));
}

void TSettingsFrame::Load(const TSettingsForm& form, const QString& programFile) {
    m_cbAutoReceive->setChecked(form.AutoReceive);
    m_cbResume->setChecked(form.AutoResume);
    m_cbAutoInviteAllowing->setChecked(form.AutoInviteAllowing);
    m_leReceiveTo->setText(FromUtf8(form.ReceiveTo));
    m_cbPacket->setCurrentIndex(
        form.PacketType >= 0 && form.PacketType < m_cbPacket->count() ? form.PacketType : -1);
    m_seBufSize->setValue(form.BufferSize);
    m_cbAlarm->setChecked(form.SoundAlarm);
    m_cbEasyConnect->setChecked(form.MsgrUseEasyConnection);
    m_cbReconnect->setChecked(form.Reconnect);
    m_seCount->setValue(form.MaxSendCount);
    m_seRate->setValue(form.MaxSendRate);
    m_cbUseUPnP->setChecked(form.UseUPnP);
    m_cbTaskTray->setChecked(form.MinimizeOnTray);
    m_lblExepath->setText(programFile);
}

TSettingsForm TSettingsFrame::Form() const {
    TSettingsForm form;
    form.AutoReceive = m_cbAutoReceive->isChecked();
    form.AutoResume = m_cbResume->isChecked();
    form.ReceiveTo = ToUtf8(m_leReceiveTo->text());
    form.AutoInviteAllowing = m_cbAutoInviteAllowing->isChecked();
    form.PacketType = m_cbPacket->currentIndex();
    form.BufferSize = FieldValue(m_seBufSize);
    form.SoundAlarm = m_cbAlarm->isChecked();
    form.MsgrUseEasyConnection = m_cbEasyConnect->isChecked();
    form.Reconnect = m_cbReconnect->isChecked();
    form.MaxSendCount = FieldValue(m_seCount);
    form.MaxSendRate = FieldValue(m_seRate);
    form.UseUPnP = m_cbUseUPnP->isChecked();
    form.MinimizeOnTray = m_cbTaskTray->isChecked();
    return form;
}

void TSettingsFrame::SetReceiveTo(const QString& folder) {
    m_leReceiveTo->setText(folder);
}

}  // namespace fwp
