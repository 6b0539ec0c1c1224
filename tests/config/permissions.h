// Internal to tests/config/.
#pragma once

#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fwp::test {

// Gives path a mode for the life of the object and then makes it writable
// again, so the sandbox can be removed.
class TModeGuard {
public:
    TModeGuard(std::filesystem::path path, mode_t mode) : m_path(std::move(path)) {
        ::chmod(m_path.c_str(), mode);
    }
    ~TModeGuard() { ::chmod(m_path.c_str(), 0755); }
    TModeGuard(const TModeGuard&) = delete;
    TModeGuard& operator=(const TModeGuard&) = delete;

private:
    std::filesystem::path m_path;
};

// True when this process can create a file in a folder without write
// permission (it runs as root or with a capability that overrides modes);
// tests of read-only folders and files cannot fail then and are skipped.
inline bool PermissionsAreIgnored(const std::filesystem::path& scratchFolder) {
    std::filesystem::create_directories(scratchFolder);
    TModeGuard readOnly(scratchFolder, 0555);
    const auto probe = scratchFolder / "probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

}  // namespace fwp::test
