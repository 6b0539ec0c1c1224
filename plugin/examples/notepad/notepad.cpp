// A shared notepad: both users see one page with one text, and what either
// of them types appears on the other side. An example of a plug-in written
// only against the public plug-in header (and Qt, for its page).
//
// The two copies exchange the whole text as a buffer (UTF-8) a moment after
// the last key press; a text that arrives replaces the own one.
#include <cstring>
#include <string>

#include <QHBoxLayout>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include "plugin/sdk/fernwaypost_plugin.h"

namespace {

constexpr const char* PluginName = "SharedNotepad";
// Texts the program shows are CP932: 共有メモ帳, and a description.
constexpr const char* FunctionName = "\x8B\xA4\x97\x4C\x83\x81\x83\x82\x92\xA0";
constexpr const char* Description =
    "\x93\xF1\x90\x6C\x82\xC5\x93\xAF\x82\xB6\x83\x81\x83\x82\x82\xF0\x8F\x91\x82\xAF"
    "\x82\xDC\x82\xB7";
constexpr const char* PluginVersion = "1.0";
constexpr int SendDelayMs = 300;

TPluginServices g_services{};
QPointer<QPlainTextEdit> g_editor;
QPointer<QTimer> g_sendTimer;
TSpaceHandle g_space = nullptr;

void SendText() {
    if (!g_editor || !g_services.SendBuffer)
        return;
    const QByteArray text = g_editor->toPlainText().toUtf8();
    g_services.SendBuffer(PluginName, text.constData(), static_cast<int32_t>(text.size()));
}

}  // namespace

extern "C" {

int32_t GetPluginInfo(int32_t index, char* buffer, int32_t size) {
    const char* const info[7] = {FWP_PLUGIN_API_VERSION, PluginName, FunctionName, Description,
                                 "Fernwaypost",          "",         PluginVersion};
    if (index < 0 || index > 6 || size <= 0)
        return 0;
    std::strncpy(buffer, info[index], static_cast<std::size_t>(size) - 1);
    buffer[size - 1] = '\0';
    return info[index][0] ? 1 : 0;
}

int32_t Initialize(const TPluginServices* services) {
    if (!services || services->Size < static_cast<int32_t>(sizeof(TPluginServices)))
        return -1;
    std::memcpy(&g_services, services, sizeof g_services);
    if (g_editor)
        return 0;  // invited once more: the page is there already
    g_services.CreateSpace(&g_space, FunctionName);
    auto* page = static_cast<QWidget*>(g_space);
    if (!page)
        return -1;
    auto* layout = new QHBoxLayout(page);
    layout->setContentsMargins(2, 2, 2, 2);
    g_editor = new QPlainTextEdit(page);
    layout->addWidget(g_editor);
    g_sendTimer = new QTimer(page);
    g_sendTimer->setSingleShot(true);
    g_sendTimer->setInterval(SendDelayMs);
    QObject::connect(g_sendTimer, &QTimer::timeout, g_sendTimer, [] { SendText(); });
    QObject::connect(g_editor, &QPlainTextEdit::textChanged, g_editor, [] {
        if (g_sendTimer)
            g_sendTimer->start();
    });
    return 0;
}

int32_t Terminate(void) {
    if (g_space && g_services.DeleteSpace)
        g_services.DeleteSpace(g_space);
    g_space = nullptr;
    return 0;
}

int32_t Configuration(void* parent) {
    QMessageBox::information(
        static_cast<QWidget*>(parent), QString::fromUtf8("共有メモ帳"),
        QString::fromUtf8("相手と同じメモを書けます。\n機能メニューから相手を招待してください。"));
    return 0;
}

int32_t OnReceiveBuffer(const TPluginTaskInfo* info) {
    // Only notes of a sensible size.
    return info && info->Size <= 16 * 1024 * 1024 ? 0 : -1;
}

int32_t OnReceiveFile(const TPluginTaskInfo*, const char*, char*, int32_t) {
    return -1;
}

int32_t OnProgress(const TPluginTaskInfo*, uint8_t*) {
    return 0;
}

int32_t OnComplete(const TPluginTaskInfo* info) {
    if (!info || info->Direction != FWP_TASK_RECEIVED || !g_editor)
        return 0;
    const QString text = QString::fromUtf8(static_cast<const char*>(info->Data),
                                           info->Data ? static_cast<qsizetype>(info->Size) : 0);
    if (text == g_editor->toPlainText())
        return 0;
    // The peer's text replaces ours without being sent back.
    const QSignalBlocker quiet(g_editor);
    const int position = g_editor->textCursor().position();
    g_editor->setPlainText(text);
    QTextCursor cursor = g_editor->textCursor();
    cursor.setPosition(std::min(position, static_cast<int>(text.size())));
    g_editor->setTextCursor(cursor);
    return 0;
}

}  // extern "C"
