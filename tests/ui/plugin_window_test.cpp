// Plug-ins in the window: the entries of the plug-in menus, the settings
// page's list with "設定(&S)", and the pages that running plug-ins open,
// alert and close, with a peer that runs the same plug-ins on its own thread.
#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include "common/codec.h"
#include "plugin/services.h"
#include "tests/app/peer_host.h"
#include "tests/ui/window_fixture.h"
#include "ui/alarm.h"

namespace fwp::test {
namespace {

// The function at address, as the plug-ins' service lists hand it out.
template <typename F>
F Function(void* address) {
    F function = nullptr;
    std::memcpy(&function, &address, sizeof function);
    return function;
}

// The other user's program, without widgets, on a thread of its own.
class TWindowPeer : public TPeerHost {
public:
    TWindowPeer(const TSandbox& box, const std::string& name,
                const std::vector<std::filesystem::path>& plugins)
        : TPeerHost(box, name, plugins, std::make_unique<TMainView>(), std::make_unique<TScriptedDialogs>()) {
    }
};

class PluginWindow : public TWindowTest {
protected:
    ~PluginWindow() override {
        window.reset();
        for (void* module : modules)
            if (module)
                ::dlclose(module);
    }
    // Copies plugins into the window's plug-in folder, makes the window with them and shows it.
    void MakeWindowWith(const std::vector<std::filesystem::path>& plugins) {
        const auto folder = box.Folder("window-plugin");
        for (const auto& plugin : plugins)
            std::filesystem::copy_file(plugin, folder / plugin.filename());
        CreateWindow();
        window->LoadPlugins(folder);
        window->Start({});
        for (const auto& plugin : plugins)
            modules.push_back(::dlopen((folder / plugin.filename()).c_str(), RTLD_NOW));
    }
    // A Test* export of the window's copy of plugin number index.
    template <typename F>
    F Export(std::size_t index, const char* name) {
        return Function<F>(::dlsym(modules.at(index), name));
    }
    std::string Log(std::size_t index) { return Export<const char* (*)()>(index, "TestLog")(); }
    QMenu* Popup() { return Find<QMenu>("pmPlugin"); }
    QMenu* Submenu() { return Find<QMenu>("miPlugin"); }
    std::vector<std::string> Captions(QMenu* menu) {
        std::vector<std::string> captions;
        for (QAction* entry : menu->actions())
            captions.push_back(U(entry->text()));
        return captions;
    }
    // Waits as server; the peer connects from its thread.
    void ConnectPeer(TWindowPeer& peer) {
        const int port = FreePort();
        When([this] { return Listening(); },
             [&peer, port] {
                 peer.Post([port](TMainController& c) { c.ConnectToServer("127.0.0.1", port); });
             });
        Click("plButton1");
        Find<QLineEdit>("edtServPort")->setText(QString::number(port));
        Click("btStartServ");
        ASSERT_EQ(window->Controller().Mode(), TWindowMode::mdConnected);
    }
    // The settings page's rows, each as its five cells.
    std::vector<std::vector<std::string>> PluginRows() {
        auto* list = Find<QTreeWidget>("lvPlugins");
        std::vector<std::vector<std::string>> rows;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            std::vector<std::string> cells;
            for (int column = 0; column < 5; ++column)
                cells.push_back(U(list->topLevelItem(i)->text(column)));
            rows.push_back(cells);
        }
        return rows;
    }
    void ShowPluginPage() {
        Find<QAction>("miSetting")->trigger();
        Find<QComboBox>("cbSettingMenu")->setCurrentIndex(4);
        ASSERT_TRUE(Find<QWidget>("TabSheet4")->isVisible());
    }
    bool WaitForRow(const std::string& content) {
        return RunUntil([&] { return FindRow("機能", content) >= 0 || FindRow("エラー", content) >= 0; });
    }
    std::vector<void*> modules;
};

#if defined(FWP_TEST_FULL) && defined(FWP_TEST_MINIMAL) && defined(FWP_TEST_WRONG_API) && \
    defined(FWP_TEST_TWIN_A)

TEST_F(PluginWindow, EveryLoadedPlugInIsListedWithItsSettingsAndInvitesThePeerOnceConnected) {
    MakeWindowWith({FWP_TEST_FULL, FWP_TEST_MINIMAL, FWP_TEST_WRONG_API, FWP_TEST_TWIN_A});
    // The library with the wrong API version is not listed.
    ASSERT_EQ(Captions(Popup()), (std::vector<std::string>{"テスト", "テスト", "テスト"}));
    EXPECT_EQ(Submenu()->actions(), Popup()->actions());
    EXPECT_EQ(U(Submenu()->title()), "機能(&P)");
    EXPECT_EQ(Find<QMenu>("miTransfer")->actions().back(), Submenu()->menuAction());
    auto* button = Find<QPushButton>("plPlugin");
    EXPECT_EQ(U(button->text()), "機能");
    EXPECT_EQ(button->menu(), Popup());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(Popup()->actions()[i]->data().toInt(), i);
    // Until a connection there is nobody to invite.
    EXPECT_FALSE(button->isEnabled());
    EXPECT_FALSE(Submenu()->isEnabled());

    // The settings page lists them in the same order; the file name without its folder.
    ShowPluginPage();
    auto rows = PluginRows();
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i)
        EXPECT_EQ(
            rows[i][0],
            std::filesystem::path(window->Controller().Plugins().Items(i).FileName()).filename().string());
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::vector<std::string>>{
                        {"test_full.so", "テスト", "1.0", "Fernwaypost", "for the tests"},
                        {"test_minimal.so", "テスト", "1.0", "Fernwaypost", "for the tests"},
                        {"test_twin_a.so", "テスト", "a", "Fernwaypost", "for the tests"}}));
    auto* list = Find<QTreeWidget>("lvPlugins");
    std::vector<std::string> headers;
    for (int column = 0; column < 5; ++column)
        headers.push_back(U(list->headerItem()->text(column)));
    EXPECT_EQ(headers, (std::vector<std::string>{"ファイル名", "機能", "Ver.", "作者", "説明"}));
    // Every column but the last is wide enough for its longest entry.
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            EXPECT_GE(list->header()->sectionSize(column),
                      list->fontMetrics().horizontalAdvance(list->topLevelItem(row)->text(column)))
                << column << " " << row;
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(list->editTriggers(), QAbstractItemView::NoEditTriggers);
    // The selection looks the same with and without the focus.
    EXPECT_EQ(list->palette().color(QPalette::Inactive, QPalette::Highlight),
              list->palette().color(QPalette::Active, QPalette::Highlight));

    // "設定(&S)" with nothing selected does nothing; with a plug-in selected, and a double-click, ask it.
    ClickIn("frmSetting", "Button1");
    const int full = window->Controller().Plugins().IndexOf("TestPlugin");
    const int minimal = window->Controller().Plugins().IndexOf("Minimal");
    const std::size_t fullModule = 0;  // FWP_TEST_FULL is copied first
    EXPECT_EQ(Log(fullModule).find("Configuration"), std::string::npos);
    list->setCurrentItem(list->topLevelItem(full));
    ClickIn("frmSetting", "Button1");
    EXPECT_EQ(Log(fullModule), "Configuration;");
    const QRect cell = list->visualItemRect(list->topLevelItem(full));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    EXPECT_EQ(Log(fullModule), "Configuration;Configuration;");
    // A plug-in without the entry point: nothing visible.
    list->setCurrentItem(list->topLevelItem(minimal));
    ClickIn("frmSetting", "Button1");
    EXPECT_TRUE(dialogs.Boxes.empty());
    // Shown again, the page lists them anew, once each.
    Click("Button5");
    ShowPluginPage();
    EXPECT_EQ(PluginRows().size(), 3u);
    Click("Button5");

    TWindowPeer peer(box, "peer", {FWP_TEST_FULL});
    ConnectPeer(peer);
    EXPECT_TRUE(button->isEnabled());
    EXPECT_TRUE(Submenu()->isEnabled());

    // The button opens the entries at its lower left corner.
    QPoint shownAt;
    When([this] { return Popup()->isVisible(); },
         [&] {
             shownAt = Popup()->pos();
             Popup()->close();
         });
    Click("plPlugin");
    EXPECT_EQ(shownAt, button->mapToGlobal(QPoint(0, button->height())));

    // The entries invite the peer to run their own plug-in.
    Popup()->actions()[full]->trigger();
    ASSERT_TRUE(WaitForRow("テストの実行を招待しています。")) << RowsText();
    ASSERT_TRUE(RunUntil([&] { return peer.RowOf("テストの実行を承諾しますか？") >= 0; }));
    Submenu()->actions()[minimal]->trigger();
    ASSERT_TRUE(WaitForRow("相手にテストのプラグインがインストールされていません")) << RowsText();

    // The peer ends the session: the entries are out of reach again.
    peer.Post([](TMainController& c) { c.Transer().Close(); });
    ASSERT_TRUE(RunUntil([&] { return !button->isEnabled(); }));
    EXPECT_FALSE(Submenu()->isEnabled());
}

TEST_F(PluginWindow, ARunningPlugInOpensAlertsAndClosesPagesOfTheWindowAndReadsTheBufferSize) {
    MakeWindowWith({FWP_TEST_FULL});
    TWindowPeer peer(box, "peer", {FWP_TEST_FULL});
    ConnectPeer(peer);
    Popup()->actions()[0]->trigger();
    ASSERT_TRUE(RunUntil([&] { return peer.RowOf("テストの実行を承諾しますか？") >= 0; }));
    const int asked = peer.RowOf("テストの実行を承諾しますか？");
    peer.Call([asked](TMainController& c) {
        c.AnswerOffer(asked, true);
        return 0;
    });
    ASSERT_TRUE(WaitForRow("テストを実行しました。")) << RowsText();
    const auto* services = Export<const TPluginServices* (*)()>(0, "TestServices")();
    ASSERT_NE(services, nullptr);

    // A page with the caption the plug-in gives (CP932), made the active page.
    auto* spaces = Find<QTabWidget>("pcSpaces");
    TSpaceHandle first = nullptr;
    services->CreateSpace(&first, "\x83\x81\x83\x82");  // メモ
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(spaces->count(), 2);
    EXPECT_EQ(spaces->widget(1), first);
    EXPECT_EQ(spaces->currentIndex(), 1);
    EXPECT_EQ(U(spaces->tabText(1)), "メモ");
    TSpaceHandle second = nullptr;
    services->CreateSpace(&second, "2");
    ASSERT_EQ(spaces->count(), 3);
    EXPECT_NE(second, first);
    EXPECT_EQ(spaces->currentWidget(), second);

    // The built-in services: the page object, the application, the buffer size (at the end).
    const auto spaceObject = Function<void* (*)(TSpaceHandle)>(services->GetService("GetSpaceHandle"));
    const auto application = Function<void* (*)()>(services->GetService("GetApplication"));
    const auto alarm = Function<void (*)(TSpaceHandle)>(services->GetService("Alarm"));
    const auto getConfig =
        Function<void (*)(std::int32_t, std::int32_t*, std::int32_t)>(services->GetService("GetConfig"));
    ASSERT_TRUE(spaceObject && application && alarm && getConfig);
    EXPECT_NE(spaceObject(first), nullptr);
    EXPECT_NE(spaceObject(first), spaceObject(second));
    int notAPage = 0;
    EXPECT_EQ(spaceObject(&notAPage), nullptr);
    EXPECT_EQ(application(), static_cast<void*>(QApplication::instance()));

    // In front, the alarm marks the tab of a page that is not shown, with the sound.
    Activate();
    const int plays = window->Alarm().Plays();
    const QColor normal = spaces->tabBar()->tabTextColor(2);
    alarm(second);  // the page shown: nothing
    EXPECT_EQ(window->Alarm().Plays(), plays);
    alarm(first);
    EXPECT_EQ(window->Alarm().Plays(), plays + 1);
    EXPECT_EQ(spaces->tabBar()->tabTextColor(1), window->palette().color(QPalette::Highlight));
    EXPECT_NE(spaces->tabBar()->tabTextColor(1), normal);
    alarm(&notAPage);  // no such page: nothing in front
    EXPECT_EQ(window->Alarm().Plays(), plays + 1);
    // Showing the page clears its mark.
    spaces->setCurrentWidget(static_cast<QWidget*>(first));
    EXPECT_EQ(spaces->tabBar()->tabTextColor(1), normal);

    // Closing: the first page with the handle goes; unknown handles and the transfer page stay.
    QPointer<QWidget> closed = static_cast<QWidget*>(first);
    services->DeleteSpace(first);
    EXPECT_EQ(spaces->count(), 2);
    EXPECT_EQ(spaces->indexOf(static_cast<QWidget*>(first)), -1);
    EXPECT_EQ(spaceObject(first), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(closed.isNull());
    services->DeleteSpace(first);
    services->DeleteSpace(&notAPage);
    services->DeleteSpace(Find<QWidget>("tsMain"));
    EXPECT_EQ(spaces->count(), 2);
    EXPECT_EQ(spaces->widget(0), Find<QWidget>("tsMain"));
    EXPECT_EQ(spaces->widget(1), second);

    // The buffer size follows the settings panel at once; an unknown key leaves the value alone.
    Find<QAction>("miSetting")->trigger();
    auto* size = Find<QWidget>("frmSetting")->findChild<QSpinBox*>(QStringLiteral("seBufSize"));
    ASSERT_NE(size, nullptr);
    size->setValue(4096);
    Click("Button5");
    std::int32_t value = 0;
    getConfig(1, &value, 0);
    EXPECT_EQ(value, 4096);
    value = -7;
    getConfig(2, &value, 0);
    EXPECT_EQ(value, -7);
    // The session ends in order while the peer still answers.
    window->close();
}

#endif

#ifdef FWP_NOTEPAD_PLUGIN

TEST_F(PluginWindow, TheNotepadOpensItsPageWhenTheWindowAcceptsTheInvitation) {
    MakeWindowWith({FWP_NOTEPAD_PLUGIN});
    ASSERT_EQ(Captions(Popup()), std::vector<std::string>{"共有メモ帳"});
    TWindowPeer peer(box, "peer", {FWP_NOTEPAD_PLUGIN});
    ConnectPeer(peer);
    // The peer invites; the window answers through the row's answer menu.
    peer.Call([](TMainController& c) {
        c.InvitePlugin(0);
        return 0;
    });
    ASSERT_TRUE(WaitForRow("共有メモ帳の実行を承諾しますか？")) << RowsText();
    const int row = FindRow("機能", "共有メモ帳の実行を承諾しますか？");
    auto* spaces = Find<QTabWidget>("pcSpaces");
    ASSERT_EQ(spaces->count(), 1);
    Answer(row, "miAccept");
    ASSERT_TRUE(RunUntil([&] { return spaces->count() == 2; })) << RowsText();
    EXPECT_EQ(U(spaces->tabText(1)), "共有メモ帳");
    EXPECT_EQ(spaces->currentIndex(), 1);
    EXPECT_NE(spaces->widget(1)->findChild<QPlainTextEdit*>(), nullptr);
    EXPECT_TRUE(WaitForRow("共有メモ帳を実行しました。")) << RowsText();
    // The window closes: the notepad ends and takes its page with it.
    window->close();
    EXPECT_EQ(spaces->count(), 1);
}

#endif

}  // namespace
}  // namespace fwp::test
