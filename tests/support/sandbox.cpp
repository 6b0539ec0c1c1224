#include "tests/support/sandbox.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <stdexcept>

#include <sys/time.h>
#include <unistd.h>

namespace fwp::test {

TSandbox::TSandbox() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fwp-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
}

TSandbox::~TSandbox() {
    const char* keep = std::getenv("FWP_KEEP_SANDBOX");
    if (keep && std::string_view(keep) == "1")
        return;
    std::error_code ec;
    std::filesystem::remove_all(m_root, ec);
}

std::filesystem::path TSandbox::Folder(std::string_view relative) const {
    auto path = m_root / relative;
    std::filesystem::create_directories(path);
    return path;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937_64 gen(seed);
    std::string data(size, '\0');
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        const std::uint64_t v = gen();
        for (int k = 0; k < 8; ++k)
            data[i + k] = static_cast<char>(v >> (8 * k));
    }
    const std::uint64_t v = gen();
    for (int k = 0; i < size; ++i, ++k)
        data[i] = static_cast<char>(v >> (8 * k));
    return data;
}

std::filesystem::path TSandbox::WriteRandomFile(std::string_view relative, std::uint64_t size,
                                                std::uint32_t seed) const {
    const auto path = m_root / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 gen(seed);
    std::string block;
    std::uint64_t left = size;
    std::uint32_t part = seed;
    while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20));
        block = RandomBytes(n, part++ * 7919u + static_cast<std::uint32_t>(gen()));
        out.write(block.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    return path;
}

std::filesystem::path TSandbox::WriteFile(std::string_view relative, std::string_view content) const {
    const auto path = m_root / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    return path;
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SetFileTimeUtc(const std::filesystem::path& path, int year, int month, int day, int hour) {
    std::tm when{};
    when.tm_year = year - 1900;
    when.tm_mon = month - 1;
    when.tm_mday = day;
    when.tm_hour = hour;
    const timeval times[2] = {{::timegm(&when), 0}, {::timegm(&when), 0}};
    if (::utimes(path.c_str(), times) != 0)
        throw std::runtime_error("cannot set the time of " + path.string());
}

}  // namespace fwp::test
