#include "ui/application.h"

#include <QApplication>
#include <QFontDatabase>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QStringList>
#include <QTranslator>

#include "ui/main_window.h"

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

    // Qt's own dialogs and buttons speak the program's language, whatever the system's locale.
    auto* translator = new QTranslator(&application);
    if (translator->load(QLocale(QLocale::Japanese, QLocale::Japan), u"qtbase"_s, u"_"_s,
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;

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

std::string CommandLineUsage() {
    return "Usage: fernwaypost [/server NAME | /client NAME | /session | --help]\n"
           "  (no argument)      open on the start panel\n"
           "  /server NAME       wait for a peer, registered as NAME with the easy connection service\n"
           "  /client NAME       find the peer registered as NAME and connect to it\n"
           "  /session           start as the instant messenger's session asks\n"
           "  --server NAME, --client NAME and --session are the same as the slash forms.\n"
           "A start from the command line that fails ends the program (exit status 1).\n";
}

bool WantsUsage(int argc, char** argv) {
    if (argc < 2)
        return false;
    const std::string_view first = argv[1];
    return first == "--help" || first == "-h";
}

int RunProgram(TMainWindow& window, const QStringList& arguments, const std::function<int()>& exec) {
    const bool started = window.Start(arguments);
    const int status = started ? exec() : 1;
    window.Controller().EndProgram();
    return status;
}

}  // namespace fwp
