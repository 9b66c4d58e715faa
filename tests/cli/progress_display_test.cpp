// The progress display on a terminal that is resized during the run, where it may redraw, and a
// progress line that stays within its bounds whatever the head asks for.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "progress_display.h"

namespace {

// The visible text of every line drawn: cursor moves and clearing left out.
std::vector<std::string> DrawnLines(const std::string& output) {
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < output.size(); ++i) {
        const char c = output[i];
        if (c == '\x1b') {
            while (i < output.size() &&
                   (std::isalpha(static_cast<unsigned char>(output[i])) == 0)) {
                ++i;
            }
        } else if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    return lines;
}

TEST(ProgressDisplay, LinesFollowTheTerminalWidthWhenItIsResized) {
    std::ostringstream err;
    int columns = 100;
    CProgressDisplay display(err, ProgressStyle::Terminal, 2, [&columns] { return columns; });
    const std::string wide(90, 'x');
    display.Update(0, wide, true);
    display.Update(1, wide, true);
    EXPECT_EQ(DrawnLines(err.str()).back(), wide);

    columns = 40;  // the window is made narrower
    err.str("");
    display.Update(0, wide, true);
    display.Finish();
    const auto lines = DrawnLines(err.str());
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), 39U) << "a wrapped line breaks the redraw in place";
    }
}

TEST(ProgressDisplay, RedrawsInPlaceOnlyOnATerminalOfItsOwn) {
    EXPECT_EQ(ChooseProgressStyle(false, true, false), ProgressStyle::Terminal);
    EXPECT_EQ(ChooseProgressStyle(false, true, true), ProgressStyle::Plain)
        << "JSON lines on the same screen would be overwritten by the redraws";
    EXPECT_EQ(ChooseProgressStyle(false, false, false), ProgressStyle::Plain);
    EXPECT_EQ(ChooseProgressStyle(true, true, false), ProgressStyle::Off);
}

TEST(ProgressLine, NeverPassesTheWholeImageAndCountsResentBytesApart) {
    constexpr std::int64_t kFrame = 4107;
    UpgradeProgress progress;
    progress.framesTotal = 10;
    progress.bytesTotal = 10 * kFrame;
    // A head that asked for the fill frame after the last of 10 frames.
    progress.framesAccepted = 11;
    progress.bytesSent = 11 * kFrame;
    progress.bytesExtra = 2 * kFrame;
    const std::string line = FormatProgressLine(progress, 5.0);
    EXPECT_NE(line.find("100%"), std::string::npos) << line;
    EXPECT_NE(line.find("10/10 frames"), std::string::npos) << line;
    EXPECT_NE(line.find("40.1/40.1 KiB (+8.0 KiB again)"), std::string::npos) << line;
    EXPECT_NE(line.find("[################]"), std::string::npos) << line;

    progress.framesAccepted = 0;
    progress.bytesSent = 0;
    progress.bytesExtra = 0;
    EXPECT_NE(FormatProgressLine(progress, 0).find("0%"), std::string::npos);
}

}  // namespace
