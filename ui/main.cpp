// The desktop program: the settings are loaded, the window made and shown,
// the message loop run; at the end the settings are written.
#include <QApplication>

#include "config/config.h"
#include "config/config_places.h"
#include "ui/application.h"
#include "ui/main_window.h"
#include "ui/qt_dialogs.h"
#include "ui/qt_event_loop.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    fwp::SetUpApplication(application);

    fwp::TConfig config(fwp::DefaultConfigPath());
    config.Load();

    fwp::TQtEventLoop loop;
    fwp::TQtDialogs dialogs;
    fwp::TMainWindow window(loop, config, dialogs);
    dialogs.SetOwner(&window);
    window.SetPluginFolder(fwp::PluginFolder(fwp::TConfigPlaces::FromSystem().ExeFolder));
    window.Discover();

    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    window.Start(arguments);
    const int status = QApplication::exec();
    window.Controller().EndProgram();
    return status;
}
