#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace fwp::cli {

// Live progress lines, one per running file, redrawn in place on a terminal
// (standard error). Event lines on standard output clear it first.
class TProgressDisplay {
public:
    // Shown only when enabled and standard error is a terminal.
    explicit TProgressDisplay(bool enabled);

    void Update(const void* key, const std::string& name, std::int64_t transfered, std::int64_t size,
                std::int64_t byteRate, std::uint64_t nowMs);
    void Remove(const void* key);
    // Takes the lines off the screen (before other output).
    void Clear();
    // Draws them again, at most four times a second unless forced.
    void Draw(std::uint64_t nowMs, bool force = false);
    bool Enabled() const { return m_enabled; }

private:
    struct TLine {
        std::string Name;
        std::int64_t Transfered = 0;
        std::int64_t Size = 0;
        std::uint32_t Rate = 0;  // smoothed bytes per second
    };
    bool m_enabled;
    std::map<const void*, TLine> m_lines;
    int m_shown = 0;
    std::uint64_t m_lastDraw = 0;
};

}  // namespace fwp::cli
