// Progress on stderr: on a terminal one line per port, redrawn in place (bytes, frames, percent,
// rate, time left); otherwise plain lines at each step and every tenth of the image.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "run_context.h"
#include "upgrade_session.h"

enum class ProgressStyle { Off, Plain, Terminal };

// Lines redrawn in place only where nothing else writes to the same screen: JSON lines on a
// terminal between two redraws would be overwritten.
ProgressStyle ChooseProgressStyle(bool quiet, bool stderrIsTerminal, bool jsonToTerminal);

class CProgressDisplay {
  public:
    // `columns`: width of the terminal, asked at every redraw (it may be resized); longer lines
    // are cut so that redrawing stays in place.
    CProgressDisplay(std::ostream& err, ProgressStyle style, std::size_t portCount,
                     std::function<int()> columns);
    void Update(std::size_t portIndex, const std::string& line, bool milestone);
    // Shows the last state of every line; later output goes below them.
    void Finish();

  private:
    void Redraw(bool force);

    std::mutex m_mutex;
    std::ostream& m_err;
    ProgressStyle m_style;
    std::function<int()> m_columns;
    std::vector<std::string> m_lines;
    bool m_drawn = false;
    std::chrono::steady_clock::time_point m_lastDraw{};
};

class CProgressObserver final : public IUpgradeObserver {
  public:
    CProgressObserver(CProgressDisplay& display, const RunContext& context)
        : m_display(display), m_context(context) {}

    void OnSwitched(std::int32_t baudRate) override;
    void OnConnected(int tries) override;
    void OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) override;
    void OnResent(const FrameInfo& frame, std::uint8_t answer) override;
    void OnResult(const UpgradeResult& result) override;

  private:
    std::string Prefix() const;

    CProgressDisplay& m_display;
    const RunContext& m_context;
    std::chrono::steady_clock::time_point m_start{};
    int m_lastTenth = -1;
    std::string m_lastProgress;
};

// "12.3 KiB/s", "1:05" and the like, for progress lines.
std::string FormatProgressLine(const UpgradeProgress& progress, double secondsSinceFirstFrame);
