// The progress display on a terminal that is resized during the run, and where it may redraw.
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

}  // namespace
