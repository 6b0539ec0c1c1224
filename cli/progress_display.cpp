#include "cli/progress_display.h"

#include <cstdio>

#include <unistd.h>

#include "app/formats.h"
#include "engine/task_list.h"

namespace fwp::cli {

TProgressDisplay::TProgressDisplay(bool enabled) : m_enabled(enabled && ::isatty(STDERR_FILENO)) {}

void TProgressDisplay::Update(const void* key, const std::string& name, std::int64_t transfered,
                              std::int64_t size, std::int64_t byteRate, std::uint64_t nowMs) {
    if (!m_enabled)
        return;
    TLine& line = m_lines[key];
    line.Name = name;
    line.Transfered = transfered;
    line.Size = size;
    // Each report weighs half, as the task list smooths its rate.
    if (line.Rate == 0)
        line.Rate = static_cast<std::uint32_t>(std::max<std::int64_t>(byteRate, 0));
    if (byteRate > 0)
        line.Rate = static_cast<std::uint32_t>((static_cast<std::uint64_t>(line.Rate) + byteRate) / 2);
    Draw(nowMs);
}

void TProgressDisplay::Remove(const void* key) {
    if (m_lines.erase(key) > 0 && m_enabled) {
        Clear();
        Draw(0, true);
    }
}

void TProgressDisplay::Clear() {
    if (!m_enabled || m_shown == 0)
        return;
    std::fprintf(stderr, "\r\x1b[%dA\x1b[J", m_shown);
    std::fflush(stderr);
    m_shown = 0;
}

void TProgressDisplay::Draw(std::uint64_t nowMs, bool force) {
    if (!m_enabled || (!force && nowMs - m_lastDraw < 250 && m_shown == static_cast<int>(m_lines.size())))
        return;
    m_lastDraw = nowMs;
    Clear();
    for (const auto& [key, line] : m_lines) {
        std::string remaining;
        if (line.Rate > 0 && line.Size >= line.Transfered)
            remaining = "  残り " +
                        FormatSeconds(static_cast<std::uint32_t>((line.Size - line.Transfered) / line.Rate));
        std::fprintf(stderr, "%s  %s / %s  %s/s%s\x1b[K\n", line.Name.c_str(),
                     FormatByteSize(line.Transfered).c_str(), FormatByteSize(line.Size).c_str(),
                     FormatByteSize(line.Rate).c_str(), remaining.c_str());
    }
    std::fflush(stderr);
    m_shown = static_cast<int>(m_lines.size());
}

}  // namespace fwp::cli
