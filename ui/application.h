#pragma once

#include <filesystem>

class QApplication;

namespace fwp {

// Names the application, gives it its icon and the Japanese user interface
// font: the system's Japanese sans-serif (Noto Sans CJK JP where installed), 9 points.
void SetUpApplication(QApplication& application);

// The folder plug-ins are loaded from: "plugin" beside the program when that
// folder exists (a portable copy, the build tree), otherwise the installed
// plug-in folder, found from the program's folder by the relative path that
// the installation uses.
std::filesystem::path PluginFolder(const std::filesystem::path& exeFolder);

}  // namespace fwp
