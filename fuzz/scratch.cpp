#include "fuzz/scratch.h"

#include <string>
#include <system_error>

#include <unistd.h>

namespace fwp::fuzz {

std::filesystem::path ScratchFolder(std::string_view target) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::exists("/dev/shm", ec) ? "/dev/shm" : "/tmp";
    const std::string prefix = "fwp-fuzz-" + std::string(target) + "-";
    for (const fs::directory_entry& entry : fs::directory_iterator(base, ec)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with(prefix))
            continue;
        const std::string pid = name.substr(prefix.size());
        if (pid.find_first_not_of("0123456789") == std::string::npos && !fs::exists("/proc/" + pid, ec))
            fs::remove_all(entry.path(), ec);
    }
    const fs::path folder = base / (prefix + std::to_string(::getpid()));
    fs::remove_all(folder, ec);
    fs::create_directories(folder);
    return folder;
}

}  // namespace fwp::fuzz
