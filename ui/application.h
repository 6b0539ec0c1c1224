#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include <QStringList>

class QApplication;

namespace fwp {

class TMainWindow;

// Names the application, gives it its icon and the Japanese user interface
// font: the system's Japanese sans-serif (Noto Sans CJK JP where installed), 9 points.
void SetUpApplication(QApplication& application);

// The folder plug-ins are loaded from: "plugin" beside the program when that
// folder exists (a portable copy, the build tree), otherwise the installed
// plug-in folder, found from the program's folder by the relative path that
// the installation uses.
std::filesystem::path PluginFolder(const std::filesystem::path& exeFolder);

// What "fernwaypost --help" prints.
std::string CommandLineUsage();
// True when the first argument asks for the usage ("--help" or "-h").
bool WantsUsage(int argc, char** argv);

// One run of the made window: the start its arguments ask for, then the
// message loop (exec) unless an unattended start has ended the program, then
// the end of the program (the service registration removed, the settings
// written). Returns the exit status: exec's, or 1 after a failed start.
int RunProgram(TMainWindow& window, const QStringList& arguments, const std::function<int()>& exec);

}  // namespace fwp
