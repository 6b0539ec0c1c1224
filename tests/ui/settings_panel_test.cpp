// The settings panel: its menu and pages, the controls filled from the
// settings, the buffer-size presets, "参照", the messenger buttons, and
// "閉じる(&C)" with its folder check, the file and the engine.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTest>

#include <gtest/gtest.h>

#include "app/messenger.h"
#include "tests/support/peer.h"
#include "tests/ui/window_fixture.h"

namespace fwp::test {
namespace {

// A messenger that is there and writes down what it is asked.
class TTestMessenger final : public TMessenger {
public:
    bool Available() override { return true; }
    TMessengerSession SessionForProcess(std::uint32_t) override { throw TMessengerError("no session"); }
    void RegisterApplication(std::string_view, std::string_view name, std::string_view,
                             std::string_view commandLine, std::uint32_t) override {
        Calls.push_back("register " + std::string(name) + " " + std::string(commandLine));
    }
    void UnregisterApplication(std::string_view) override { Calls.push_back("unregister"); }
    std::string LocalSignInName() override { return "me@example.invalid"; }
    std::vector<std::string> Calls;
};

class SettingsPanel : public TWindowTest {
protected:
    QWidget* Frame() { return Find<QWidget>("frmSetting"); }
    template <typename T>
    T* Control(const char* name) {
        T* control = Frame()->findChild<T*>(QString::fromUtf8(name));
        if (!control)
            ADD_FAILURE() << "no control named " << name << " in the settings";
        return control;
    }
    void OpenSettings() {
        Click("plButton3");
        ASSERT_EQ(CurrentPanel(), Find<QWidget>("pnlSetting"));
    }
    void CloseSettings() { Click("Button5"); }
    // Replaces a field's text as typed: everything selected, then the keys.
    void Type(QWidget* field, const std::string& text) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, Q(text));
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const auto& shown : dialogs.Boxes)
            texts.push_back(shown.Text);
        return texts;
    }
};

TEST_F(SettingsPanel, OpensWithTheSettingsInItsControlsAndAPageForEachMenuItem) {
    MakeWindow([this](TConfig& settings) {
        settings.PacketType = 2;
        settings.MaxSendCount = 7;
        settings.Reconnect = false;
        settings.AutoReceive = true;
        settings.AutoResume = false;
        settings.AutoInviteAllowing = true;
        settings.SoundAlarm = false;
        settings.UseUPnP = false;
        settings.MinimizeOnTray = true;
        settings.MsgrUseEasyConnection = false;
        settings.ReceiveTo = box.Folder("in").string() + "/";
    });
    OpenSettings();
    EXPECT_EQ(U(Control<QComboBox>("cbPacket")->currentText()), "暗号化");
    EXPECT_EQ(Control<QSpinBox>("seCount")->value(), 7);
    EXPECT_FALSE(Control<QCheckBox>("cbReconnect")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>("cbAutoReceive")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>("cbResume")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>("cbAutoInviteAllowing")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>("cbAlarm")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>("cbUseUPnP")->isChecked());
    EXPECT_TRUE(Control<QCheckBox>("cbTaskTray")->isChecked());
    EXPECT_FALSE(Control<QCheckBox>("cbEasyConnect")->isChecked());
    EXPECT_EQ(U(Control<QLineEdit>("leReceiveTo")->text()), box.Folder("in").string() + "/");

    // The menu names the pages in order, each with its picture, and shows them.
    auto* menu = Control<QComboBox>("cbSettingMenu");
    auto* pages = Control<QStackedWidget>("pcSetting");
    const std::vector<std::pair<std::string, std::string>> expected{{"送信", "TabSheet1"},
                                                                    {"受信", "TabSheet2"},
                                                                    {"一般", "TabSheet5"},
                                                                    {"メッセンジャー", "TabSheet3"},
                                                                    {"プラグイン設定", "TabSheet4"}};
    ASSERT_EQ(menu->count(), static_cast<int>(expected.size()));
    EXPECT_EQ(menu->currentIndex(), 0);
    EXPECT_EQ(U(pages->currentWidget()->objectName()), "TabSheet1");
    for (int i = menu->count() - 1; i >= 0; --i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(U(menu->itemText(i)), expected[static_cast<std::size_t>(i)].first);
        EXPECT_FALSE(menu->itemIcon(i).isNull());
        menu->setCurrentIndex(i);
        EXPECT_EQ(U(pages->currentWidget()->objectName()), expected[static_cast<std::size_t>(i)].second);
    }
    EXPECT_EQ(U(Control<QSpinBox>("seBufSize")->toolTip()), "データの送信単位です");
    EXPECT_EQ(U(Control<QComboBox>("cbPreset")->toolTip()), "速度に適したバッファサイズを設定します");
    EXPECT_EQ(U(Control<QComboBox>("cbPacket")->toolTip()), "転送するデータの加工処理を選択します");
    EXPECT_EQ(U(Control<QCheckBox>("cbEasyConnect")->toolTip()),
              "LAN内で使用する場合は、チェックを外して下さい。");

    CloseSettings();
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_TRUE(dialogs.Boxes.empty());
    // "設定(&S)" of the file menu (F12) opens it too.
    Find<QAction>("miSetting")->trigger();
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlSetting"));
    EXPECT_EQ(Find<QAction>("miSetting")->shortcut(), QKeySequence(Qt::Key_F12));
}

TEST_F(SettingsPanel, EscapeClosesThePanelAsItsButtonDoes) {
    MakeWindow();
    Activate();
    OpenSettings();
    Control<QSpinBox>("seCount")->setValue(5);
    QTest::keyClick(Control<QSpinBox>("seCount"), Qt::Key_Escape);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
    EXPECT_EQ(config->MaxSendCount, 5);
}

TEST_F(SettingsPanel, ThePresetShownIsTheLargestNotAboveTheSizeAndChoosingOneFillsInTheSizeOnly) {
    const struct {
        std::int32_t BufferSize;
        const char* Preset;
    } cases[] = {
        {20000, "1 Mbps ADSL/ケーブル"}, {32768, "8 Mbps 以上"}, {1024, "28.8/3306 Kbps モデム"}, {500, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.BufferSize);
        window.reset();
        MakeWindow([&](TConfig& settings) { settings.BufferSize = c.BufferSize; });
        OpenSettings();
        EXPECT_EQ(U(Control<QComboBox>("cbPreset")->currentText()), c.Preset);
        EXPECT_EQ(Control<QSpinBox>("seBufSize")->value(), c.BufferSize);
    }

    // With 500: the last entry, as the keyboard chooses it.
    auto* preset = Control<QComboBox>("cbPreset");
    auto* size = Control<QSpinBox>("seBufSize");
    ASSERT_EQ(preset->count(), 10);
    preset->setFocus();
    QTest::keyClick(preset, Qt::Key_End);
    EXPECT_EQ(U(preset->currentText()), "8 Mbps 以上");
    EXPECT_EQ(size->value(), 32767);
    QTest::keyClick(preset, Qt::Key_Up);
    EXPECT_EQ(size->value(), 20480);
    // Editing the size leaves the preset as it is, also when the panel opens again.
    Type(size, "5000");
    CloseSettings();
    EXPECT_EQ(config->BufferSize, 5000);
    OpenSettings();
    EXPECT_EQ(U(preset->currentText()), "1.5 Mbps ADSL/T1/LAN");
    EXPECT_EQ(size->value(), 5000);
}

TEST_F(SettingsPanel, NumberFieldsBringWhatWasTypedIntoTheirRange) {
    MakeWindow();
    // Focus moves between fields only in the active window.
    Activate();
    OpenSettings();
    auto* size = Control<QSpinBox>("seBufSize");
    auto* count = Control<QSpinBox>("seCount");
    Type(size, "50");
    EXPECT_EQ(U(size->text()), "50");
    CloseSettings();
    EXPECT_EQ(config->BufferSize, 128);
    EXPECT_EQ(config->MaxSendCount, 3);

    // Leaving a field corrects it on the spot.
    OpenSettings();
    Type(count, "0");
    Type(size, "");
    size->clearFocus();
    count->setFocus();
    EXPECT_EQ(size->value(), 128);
    Type(count, "");
    size->setFocus();
    EXPECT_EQ(count->value(), 1);
    Type(size, "4096");
    CloseSettings();
    EXPECT_EQ(config->BufferSize, 4096);
    EXPECT_EQ(config->MaxSendCount, 1);
    EXPECT_EQ(size->maximum(), 2147483647);
    EXPECT_EQ(count->maximum(), 64);
    EXPECT_EQ(size->singleStep(), 16);
}

TEST_F(SettingsPanel, ASaveFolderThatIsNoFolderKeepsThePanelOpenWithTheFirstTwoTakenOver) {
    MakeWindow([](TConfig& settings) {
        settings.AutoReceive = false;
        settings.AutoResume = true;
        settings.PacketType = 0;
    });
    OpenSettings();
    Control<QCheckBox>("cbAutoReceive")->setChecked(true);
    Control<QCheckBox>("cbResume")->setChecked(false);
    Control<QComboBox>("cbPacket")->setCurrentIndex(1);
    Control<QLineEdit>("leReceiveTo")->setText(Q(box.Path("missing").string()));
    CloseSettings();
    ExpectBox("受信ファイルの保存先が正しくありません.", "Fernwaypost", TBoxIcon::biError);
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlSetting"));
    EXPECT_TRUE(config->AutoReceive);
    EXPECT_FALSE(config->AutoResume);
    EXPECT_EQ(config->PacketType, 0);
    EXPECT_FALSE(std::filesystem::exists(box.Path("config.ini")));

    // They reach the file at the program's end; the rest does not.
    EndWindow();
    const std::string saved = ReadAll(box.Path("config.ini"));
    EXPECT_NE(saved.find("AutoReceive=1\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("AutoResume=0\r\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("PacketType=0\r\n"), std::string::npos) << saved;
}

TEST_F(SettingsPanel, TheSaveFolderIsKeptWithExactlyOneTrailingDelimiter) {
    MakeWindow();
    OpenSettings();
    // "参照": cancelled, the field stays; chosen, the folder with its delimiter.
    auto* field = Control<QLineEdit>("leReceiveTo");
    field->setText(QStringLiteral("/before/"));
    ClickIn("frmSetting", "Button6");
    EXPECT_EQ(dialogs.FolderTitles, std::vector<std::string>{"保存先"});
    EXPECT_EQ(U(field->text()), "/before/");
    dialogs.FolderAnswers.push_back(box.Folder("chosen"));
    ClickIn("frmSetting", "Button6");
    EXPECT_EQ(U(field->text()), box.Folder("chosen").string() + "/");

    const std::string folder = box.Folder("target").string();
    for (const std::string suffix : {"", "/", "//"}) {
        SCOPED_TRACE(suffix);
        OpenSettings();
        field->setText(Q(folder + suffix));
        CloseSettings();
        EXPECT_TRUE(dialogs.Boxes.empty());
        EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlStart"));
        EXPECT_EQ(config->ReceiveTo, folder + "/");
        TConfig saved(box.Path("config.ini"));
        saved.Load();
        EXPECT_EQ(saved.ReceiveTo, folder + "/");
    }
}

TEST_F(SettingsPanel, ClosingWhileConnectedChangesTheEngineAtOnce) {
    MakeWindow();
    TPeer peer;
    peer.ReceiveFolder = box.Folder("peer-in");
    ConnectToPeer(peer);
    TTranser& engine = window->Controller().Transer();
    ASSERT_EQ(engine.PacketType, ptDirect);

    Find<QAction>("miSetting")->trigger();
    ASSERT_EQ(CurrentPanel(), Find<QWidget>("pnlSetting"));
    Control<QComboBox>("cbPacket")->setCurrentIndex(2);
    Type(Control<QSpinBox>("seBufSize"), "4096");
    Type(Control<QSpinBox>("seCount"), "5");
    Type(Control<QSpinBox>("seRate"), "1048576");
    CloseSettings();
    EXPECT_TRUE(dialogs.Boxes.empty());
    EXPECT_EQ(CurrentPanel(), Find<QWidget>("pnlTransfer"));
    EXPECT_EQ(engine.PacketType, ptCrypt);
    EXPECT_EQ(engine.BufSize, 4096);
    EXPECT_EQ(engine.MaxSendingCount, 5);
    EXPECT_EQ(engine.MaxSendRate, 1048576);

    // The next file travels enciphered in packets of the new size and arrives whole.
    const auto sent = box.WriteRandomFile("out/after.bin", 50'000, 7);
    dialogs.OpenAnswers.push_back({sent});
    Click("plFile");
    ASSERT_TRUE(RunUntil([&] { return peer.HasCompleted("FileTransfering:after.bin"); }));
    EXPECT_EQ(ReadAll(peer.ReceiveFolder / "after.bin"), ReadAll(sent));
    EndWindow();
}

TEST_F(SettingsPanel, TheMessengerPageShowsThePathAndItsButtonsReportEveryOutcome) {
    MakeWindow();
    window->SetProgramFile("/opt/fern waypost/fernwaypost");
    OpenSettings();
    auto* path = Control<QLabel>("lblExepath");
    EXPECT_EQ(U(path->text()), "/opt/fern waypost/fernwaypost");
    EXPECT_FALSE(path->isEnabled());
    // No messenger on this system: the page says so plainly, in the normal colour.
    auto* warning = Control<QLabel>("lblWarning");
    EXPECT_EQ(U(warning->text()), "このシステムには対応しているメッセンジャーがありません。");
    EXPECT_NE(warning->palette().color(QPalette::WindowText), QColor(Qt::red));

    // No messenger on this system.
    ClickIn("frmSetting", "plButton4");
    ClickIn("frmSetting", "plButton5");
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"メッセンジャーを検出できません。",
                                                    "メッセンジャーを検出できません。"}));

    auto owned = std::make_unique<TTestMessenger>();
    TTestMessenger& messenger = *owned;
    window->Controller().SetMessenger(std::move(owned));
    dialogs.Boxes.clear();
    ClickIn("frmSetting", "plButton4");
    ClickIn("frmSetting", "plButton5");
    EXPECT_EQ(
        messenger.Calls,
        (std::vector<std::string>{
            "unregister", "register Fernwaypost \"/opt/fern waypost/fernwaypost\" /session", "unregister"}));
    EXPECT_EQ(BoxTexts(),
              (std::vector<std::string>{"メッセンジャーにアプリケーションを登録しました。",
                                        "メッセンジャーからアプリケーションの登録を削除しました。"}));

    // A path with Japanese in it is refused before the messenger is asked.
    window->SetProgramFile("/home/ユーザー/fernwaypost");
    messenger.Calls.clear();
    dialogs.Boxes.clear();
    ClickIn("frmSetting", "plButton4");
    EXPECT_TRUE(messenger.Calls.empty());
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"パスに日本語が含まれているので登録できません。"});
    EXPECT_EQ(LastBox().Title, "警告");
}

}  // namespace
}  // namespace fwp::test
