#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include <QWidget>

#include "app/settings_form.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QStackedWidget;
class QTreeWidget;

namespace fwp {

class TFernPluginList;

// The frame of the settings panel ("frmSetting"): a drop-down menu with
// pictures above five pages whose own tabs are hidden, "送信", "受信", "一般",
// "メッセンジャー" and "プラグイン設定". It holds the controls only; the window
// fills them from the settings, takes them back when the panel closes, and
// answers the buttons through the On... handlers.
class TSettingsFrame final : public QWidget {
    Q_OBJECT

public:
    // bufferSize chooses the preset shown at first; the plug-in page lists
    // plugins anew each time it is shown.
    TSettingsFrame(std::int32_t bufferSize, const TFernPluginList& plugins, QWidget* parent = nullptr);

    // The controls from the settings; programFile is shown on the messenger page.
    void Load(const TSettingsForm& form, const QString& programFile);
    // What the controls hold; a number field's text counts as its value brought into range.
    TSettingsForm Form() const;
    void SetReceiveTo(const QString& folder);
    // Without a supported messenger the page says so plainly instead of warning about the path.
    void SetMessengerAvailable(bool available);
    // The list index of the plug-in selected on the plug-in page, or -1.
    int SelectedPlugin() const;

    std::function<void()> OnBrowse;      // "参照"
    std::function<void()> OnRegister;    // "登録する"
    std::function<void()> OnUnregister;  // "解除する"
    // "設定(&S)" or a double-click on a row of the plug-in list.
    std::function<void(std::size_t index)> OnConfigurePlugin;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* BuildSendPage();
    QWidget* BuildReceivePage();
    QWidget* BuildGeneralPage();
    QWidget* BuildMessengerPage();
    QWidget* BuildPluginPage();
    void FillPlugins();
    void ConfigureSelected();

    const TFernPluginList& m_plugins;
    QComboBox* m_cbSettingMenu = nullptr;
    QStackedWidget* m_pcSetting = nullptr;
    QComboBox* m_cbPacket = nullptr;
    QComboBox* m_cbPreset = nullptr;
    QSpinBox* m_seBufSize = nullptr;
    QSpinBox* m_seCount = nullptr;
    QSpinBox* m_seRate = nullptr;
    QCheckBox* m_cbReconnect = nullptr;
    QCheckBox* m_cbAutoReceive = nullptr;
    QLineEdit* m_leReceiveTo = nullptr;
    QCheckBox* m_cbResume = nullptr;
    QCheckBox* m_cbAutoInviteAllowing = nullptr;
    QCheckBox* m_cbAlarm = nullptr;
    QCheckBox* m_cbUseUPnP = nullptr;
    QCheckBox* m_cbTaskTray = nullptr;
    QLabel* m_lblExepath = nullptr;
    QLabel* m_lblWarning = nullptr;
    QCheckBox* m_cbEasyConnect = nullptr;
    QWidget* m_tsPlugins = nullptr;
    QTreeWidget* m_lvPlugins = nullptr;
};

}  // namespace fwp
