// Internal to fuzz/: a folder for the files a target writes.
#pragma once

#include <filesystem>
#include <string_view>

namespace fwp::fuzz {

// An empty folder of this process's own in /dev/shm (else /tmp), named after
// the target. The fuzzer ends without running exit handlers, so the folders
// of earlier processes that have ended are removed here instead.
std::filesystem::path ScratchFolder(std::string_view target);

}  // namespace fwp::fuzz
