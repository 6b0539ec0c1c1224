#include "config/config_places.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace fwp {
namespace {

constexpr std::string_view ConfigFileName = "config.ini";
constexpr std::string_view ConfigFolderName = "fernwaypost";
constexpr std::size_t MaxToolOutput = 64 * 1024;

std::filesystem::path HomeFromPasswordDatabase() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found ||
        !found->pw_dir)
        return {};
    return found->pw_dir;
}

// The environment for the download-folder tool: ours, with the home and
// configuration folders of places, since the tool reads its settings there.
std::vector<std::string> ToolEnvironment(const TConfigPlaces& places) {
    std::vector<std::string> env;
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text = *entry;
        if (!text.starts_with("HOME=") && !text.starts_with("XDG_CONFIG_HOME="))
            env.emplace_back(text);
    }
    env.push_back("HOME=" + places.Home.string());
    if (!places.XdgConfigHome.empty())
        env.push_back("XDG_CONFIG_HOME=" + places.XdgConfigHome);
    return env;
}

// Runs "tool DOWNLOAD" and returns what it printed, or nothing when the tool
// is missing or fails.
std::optional<std::string> RunUserDirTool(const TConfigPlaces& places) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    std::string tool = places.UserDirTool;
    std::string argument = "DOWNLOAD";
    char* argv[] = {tool.data(), argument.data(), nullptr};
    auto env = ToolEnvironment(places);
    std::vector<char*> envp;
    for (auto& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, tool.c_str(), &actions, nullptr, argv, envp.data());
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }

    std::string output;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        if (output.size() < MaxToolOutput)
            output.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return output;
}

std::optional<std::filesystem::path> UserDownloadFolder(const TConfigPlaces& places) {
    auto output = RunUserDirTool(places);
    if (!output)
        return std::nullopt;
    while (!output->empty() && output->back() == '\n')
        output->pop_back();
    if (output->empty() || output->front() != '/' || output->find('\n') != std::string::npos)
        return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::is_directory(*output, ec))
        return std::nullopt;
    return std::filesystem::path(*output);
}

}  // namespace

TConfigPlaces TConfigPlaces::FromSystem() {
    TConfigPlaces places;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        places.ExeFolder = exe.parent_path();
    const char* home = std::getenv("HOME");
    places.Home = home && *home ? std::filesystem::path(home) : HomeFromPasswordDatabase();
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"))
        places.XdgConfigHome = xdg;
    return places;
}

bool IsWritableFolder(const std::filesystem::path& folder) {
    std::error_code ec;
    return !folder.empty() && std::filesystem::is_directory(folder, ec) &&
           ::access(folder.c_str(), W_OK | X_OK) == 0;
}

// A program in a folder of its own that the user may write to is a portable
// copy that keeps its files beside it. An installed program is not, even for
// an administrator who could write to the system's folders.
bool IsPortableProgramFolder(const std::filesystem::path& folder) {
    const std::string text = folder.lexically_normal().string() + "/";
    for (const char* system : {"/usr/", "/bin/", "/sbin/", "/lib/", "/lib64/"})
        if (text.starts_with(system))
            return false;
    return IsWritableFolder(folder);
}

std::filesystem::path DefaultConfigPath(const TConfigPlaces& places) {
    if (IsPortableProgramFolder(places.ExeFolder))
        return places.ExeFolder / ConfigFileName;
    // The XDG rules ignore a relative folder in the variable.
    const std::filesystem::path xdg = places.XdgConfigHome;
    const std::filesystem::path configHome = xdg.is_absolute() ? xdg : places.Home / ".config";
    return configHome / ConfigFolderName / ConfigFileName;
}

std::string DefaultReceiveTo(const TConfigPlaces& places) {
    if (IsPortableProgramFolder(places.ExeFolder))
        return WithTrailingSlash(places.ExeFolder.string());
    if (const auto downloads = UserDownloadFolder(places))
        return WithTrailingSlash(downloads->string());
    return WithTrailingSlash((places.Home / "Downloads").string());
}

std::string WithTrailingSlash(std::string_view folder) {
    if (folder.empty())
        return {};
    while (!folder.empty() && folder.back() == '/')
        folder.remove_suffix(1);
    return std::string(folder) + "/";
}

}  // namespace fwp
