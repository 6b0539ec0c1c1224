#include "ui/application.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>

using namespace Qt::StringLiterals;

namespace fwp {
namespace {

constexpr int FontPoints = 9;

}  // namespace

void SetUpApplication(QApplication& application) {
    QApplication::setApplicationName(u"Fernwaypost"_s);
    QGuiApplication::setDesktopFileName(u"fernwaypost"_s);
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(u":/fernwaypost/icons/fernwaypost-%1.png"_s.arg(size), QSize(size, size));
    // An installed icon theme may carry the program's icon; the built-in one otherwise.
    QApplication::setWindowIcon(QIcon::fromTheme(u"fernwaypost"_s, icon));

    QFont font = QApplication::font();
    const QStringList families = QFontDatabase::families(QFontDatabase::Japanese);
    for (const QString& preferred :
         {u"Noto Sans CJK JP"_s, u"Noto Sans JP"_s, u"IPAPGothic"_s, u"VL PGothic"_s}) {
        if (families.contains(preferred)) {
            font.setFamilies({preferred});
            break;
        }
    }
    font.setPointSize(FontPoints);
    application.setFont(font);
}

std::filesystem::path PluginFolder(const std::filesystem::path& exeFolder) {
    std::error_code error;
    const std::filesystem::path beside = exeFolder / "plugin";
    if (std::filesystem::is_directory(beside, error))
        return beside;
    return (exeFolder / FWP_INSTALLED_PLUGIN_FOLDER).lexically_normal();
}

}  // namespace fwp
