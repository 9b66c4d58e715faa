#include "progress_display.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "head_answer.h"

namespace {
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kMinColumns = 20;
}  // namespace

ProgressStyle ChooseProgressStyle(bool quiet, bool stderrIsTerminal, bool jsonToTerminal) {
    if (quiet) {
        return ProgressStyle::Off;
    }
    return stderrIsTerminal && !jsonToTerminal ? ProgressStyle::Terminal : ProgressStyle::Plain;
}

CProgressDisplay::CProgressDisplay(std::ostream& err, ProgressStyle style, std::size_t portCount,
                                   std::function<int()> columns)
    : m_err(err), m_style(style), m_columns(std::move(columns)), m_lines(portCount) {}

void CProgressDisplay::Update(std::size_t portIndex, const std::string& line, bool milestone) {
    if (m_style == ProgressStyle::Off) {
        return;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_lines[portIndex] = line;
    if (m_style == ProgressStyle::Plain) {
        if (milestone) {
            m_err << line << "\n";
            m_err.flush();
        }
        return;
    }
    Redraw(milestone);
}

void CProgressDisplay::Redraw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && m_drawn && now - m_lastDraw < kRedrawInterval) {
        return;
    }
    m_lastDraw = now;
    if (m_drawn) {
        m_err << "\x1b[" << m_lines.size() << "A";
    }
    // One column short of the width: a line that fills the last column wraps on some terminals.
    const auto width = static_cast<std::size_t>(std::max(m_columns(), kMinColumns) - 1);
    for (const std::string& line : m_lines) {
        m_err << "\r\x1b[2K" << line.substr(0, width) << "\n";
    }
    m_err.flush();
    m_drawn = true;
}

void CProgressDisplay::Finish() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_style == ProgressStyle::Terminal && m_drawn) {
        Redraw(true);  // the last update may have been skipped by the redraw interval
    }
    m_err.flush();
}

std::string FormatProgressLine(const UpgradeProgress& progress, double secondsSinceFirstFrame) {
    // Clamped: a head that asks for more than the image (the fill frame) never shows past 100 %.
    const double fraction = progress.framesTotal > 0
                                ? std::clamp(static_cast<double>(progress.framesAccepted) /
                                                 static_cast<double>(progress.framesTotal),
                                             0.0, 1.0)
                                : 0.0;
    constexpr int kBarWidth = 16;
    const int filled = std::clamp(static_cast<int>(fraction * kBarWidth), 0, kBarWidth);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), '.');
    const double onLine = static_cast<double>(progress.bytesSent + progress.bytesExtra);
    const double rate = secondsSinceFirstFrame > 0 ? onLine / secondsSinceFirstFrame : 0.0;
    std::string left = "--:--";
    if (fraction >= 1.0) {
        left = "0:00";
    } else if (rate > 0) {
        const double remaining = static_cast<double>(progress.bytesTotal) * (1.0 - fraction) / rate;
        const long seconds = std::lround(remaining);
        std::array<char, 48> text{};
        std::snprintf(text.data(), text.size(), "%ld:%02ld", seconds / 60, seconds % 60);
        left = text.data();
    }
    std::string extra;
    if (progress.bytesExtra > 0) {
        std::array<char, 48> text{};
        std::snprintf(text.data(), text.size(), " (+%.1f KiB again)",
                      static_cast<double>(progress.bytesExtra) / 1024.0);
        extra = text.data();
    }
    std::array<char, 200> line{};
    std::snprintf(line.data(), line.size(),
                  "[%s] %3.0f%%  %.1f/%.1f KiB%s  %lld/%lld frames  %.1f KiB/s  %s left",
                  bar.c_str(), fraction * 100.0,
                  static_cast<double>(std::min(progress.bytesSent, progress.bytesTotal)) / 1024.0,
                  static_cast<double>(progress.bytesTotal) / 1024.0, extra.c_str(),
                  static_cast<long long>(std::min(progress.framesAccepted, progress.framesTotal)),
                  static_cast<long long>(progress.framesTotal), rate / 1024.0, left.c_str());
    return line.data();
}

std::string CProgressObserver::Prefix() const {
    const std::string label = m_context.label.empty() ? "" : " (" + m_context.label + ")";
    return m_context.port + " head " + std::to_string(m_context.address) + label + ": ";
}

void CProgressObserver::OnSwitched(std::int32_t baudRate) {
    m_display.Update(
        m_context.portIndex,
        Prefix() + "upgrade-mode command sent at " + std::to_string(baudRate) + " bit/s", true);
}

void CProgressObserver::OnConnected(int tries) {
    m_start = std::chrono::steady_clock::now();
    m_lastTenth = -1;
    m_display.Update(
        m_context.portIndex,
        Prefix() + "connected" + (tries > 1 ? " after " + std::to_string(tries) + " tries" : ""),
        true);
}

void CProgressObserver::OnFrameAccepted(const FrameInfo& /*frame*/,
                                        const UpgradeProgress& progress) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    const int tenth =
        progress.framesTotal > 0
            ? static_cast<int>(std::min(progress.framesAccepted, progress.framesTotal) * 10 /
                               progress.framesTotal)
            : 10;
    const bool milestone = tenth != m_lastTenth;
    m_lastTenth = tenth;
    m_lastProgress = FormatProgressLine(progress, seconds);
    m_display.Update(m_context.portIndex, Prefix() + m_lastProgress, milestone);
}

void CProgressObserver::OnResent(const FrameInfo& frame, std::uint8_t answer) {
    std::array<char, 96> text{};
    std::snprintf(text.data(), text.size(),
                  "checksum error (0x%02X) on frame %lld, sending it again", answer,
                  static_cast<long long>(frame.index));
    m_display.Update(m_context.portIndex, Prefix() + text.data(), true);
}

void CProgressObserver::OnResult(const UpgradeResult& result) {
    std::string line = Prefix() + DescribeStatus(result.status);
    if (!m_lastProgress.empty()) {
        line += "  " + m_lastProgress;
    }
    m_display.Update(m_context.portIndex, line, true);
    m_lastProgress.clear();
}
