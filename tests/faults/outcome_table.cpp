// The table is printed by a listener when the whole program ends, so that a run under ctest
// shows every fault with its outcome next to the usual test output.
#include "outcome_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <mutex>
#include <vector>

namespace {
struct Row {
    std::string fault;
    std::string frontEnd;
    std::string outcome;
    std::string verdict;
};

std::mutex g_rowsMutex;
std::vector<Row> g_rows;
std::size_t g_firstRowOfTest = 0;

// Columns are as wide as they look: CJK characters take two cells.
std::size_t Cells(const std::string& text) {
    std::size_t cells = 0;
    for (std::size_t at = 0; at < text.size();) {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        cells += length == 3 ? 2 : 1;
        at += length;
    }
    return cells;
}

std::string Padded(const std::string& text, std::size_t cells) {
    return text + std::string(cells - std::min(cells, Cells(text)), ' ');
}

class TableListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& /*info*/) override {
        const std::lock_guard<std::mutex> lock(g_rowsMutex);
        g_firstRowOfTest = g_rows.size();
    }

    void OnTestEnd(const ::testing::TestInfo& info) override {
        const std::lock_guard<std::mutex> lock(g_rowsMutex);
        const char* verdict = info.result()->Skipped()  ? "skip"
                              : info.result()->Passed() ? "pass"
                                                        : "FAIL";
        if (g_firstRowOfTest == g_rows.size()) {
            g_rows.push_back({info.name(), "-", "(no outcome recorded)", ""});
        }
        for (std::size_t i = g_firstRowOfTest; i < g_rows.size(); ++i) {
            g_rows[i].verdict = verdict;
        }
    }

    void OnTestProgramEnd(const ::testing::UnitTest& /*test*/) override {
        const std::lock_guard<std::mutex> lock(g_rowsMutex);
        std::size_t widths[3] = {5, 9, 7};
        for (const Row& row : g_rows) {
            widths[0] = std::max(widths[0], Cells(row.fault));
            widths[1] = std::max(widths[1], Cells(row.frontEnd));
            widths[2] = std::max(widths[2], Cells(row.outcome));
        }
        std::cout << "\nFault matrix\n"
                  << "| " << Padded("fault", widths[0]) << " | " << Padded("front end", widths[1])
                  << " | " << Padded("outcome", widths[2]) << " | pass/fail |\n"
                  << "|" << std::string(widths[0] + 2, '-') << "|"
                  << std::string(widths[1] + 2, '-') << "|" << std::string(widths[2] + 2, '-')
                  << "|-----------|\n";
        for (const Row& row : g_rows) {
            std::cout << "| " << Padded(row.fault, widths[0]) << " | "
                      << Padded(row.frontEnd, widths[1]) << " | " << Padded(row.outcome, widths[2])
                      << " | " << Padded(row.verdict, 9) << " |\n";
        }
        std::cout << std::flush;
    }
};
}  // namespace

namespace faults {
void Record(const std::string& fault, const std::string& frontEnd, const std::string& outcome) {
    const std::lock_guard<std::mutex> lock(g_rowsMutex);
    g_rows.push_back({fault, frontEnd, outcome, ""});
}
}  // namespace faults

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new TableListener);
    return RUN_ALL_TESTS();
}
