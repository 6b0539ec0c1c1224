// The desktop program: the settings are loaded, the window made and shown,
// the command line's start run and the message loop with it; at the end the
// settings are written.
#include <cstdio>

#include <QApplication>

#include "config/config.h"
#include "config/config_places.h"
#include "ui/application.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"
#include "ui/qt_event_loop.h"

int main(int argc, char** argv) {
    // The usage needs no display.
    if (fwp::WantsUsage(argc, argv)) {
        std::fputs(fwp::CommandLineUsage().c_str(), stdout);
        return 0;
    }
    QApplication application(argc, argv);
    fwp::SetUpApplication(application);

    fwp::TConfig config(fwp::DefaultConfigPath());
    config.Load();

    fwp::TQtEventLoop loop;
    fwp::TQtDialogs dialogs;
    fwp::TMainWindow window(loop, config, dialogs);
    dialogs.SetOwner(&window);
    window.Discover();
    window.LoadPlugins(fwp::PluginFolder(fwp::TConfigPlaces::FromSystem().ExeFolder));

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    return fwp::RunProgram(window, arguments, [] { return QApplication::exec(); });
}
