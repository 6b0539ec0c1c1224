#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace fwp::test {

// A fresh folder per test under the system's temporary folder, removed with
// the object unless the environment asks to keep it (FWP_KEEP_SANDBOX=1).
class TSandbox {
public:
    TSandbox();
    ~TSandbox();
    TSandbox(const TSandbox&) = delete;
    TSandbox& operator=(const TSandbox&) = delete;

    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path Path(std::string_view relative) const { return m_root / relative; }
    // Makes a sub-folder (and its parents) and returns its path.
    std::filesystem::path Folder(std::string_view relative) const;
    // Writes size pseudo-random bytes (seeded by seed) and returns the path.
    std::filesystem::path WriteRandomFile(std::string_view relative, std::uint64_t size,
                                          std::uint32_t seed = 1) const;
    std::filesystem::path WriteFile(std::string_view relative, std::string_view content) const;

private:
    std::filesystem::path m_root;
};

std::string ReadAll(const std::filesystem::path& path);
std::string RandomBytes(std::size_t size, std::uint32_t seed);
// Sets the file's access and modification times to the given hour (UTC).
void SetFileTimeUtc(const std::filesystem::path& path, int year, int month, int day, int hour);

}  // namespace fwp::test
