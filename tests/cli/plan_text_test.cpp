// The texts of a fleet plan run: plan rows, report lines and their reading back, UTC times, and
// the image digest against the FIPS 180 test vectors.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "csv_line.h"
#include "fleet_plan.h"
#include "image_digest.h"
#include "plan_report.h"

namespace {

struct DigestCase {
    const char* name;
    std::string message;
    const char* sha256;
};

void PrintTo(const DigestCase& c, std::ostream* out) {
    *out << c.name;
}

class Sha256Vectors : public ::testing::TestWithParam<DigestCase> {};

TEST_P(Sha256Vectors, MatchFips180) {
    const std::string& message = GetParam().message;
    EXPECT_EQ(Sha256Hex(std::vector<std::uint8_t>(message.begin(), message.end())),
              GetParam().sha256);
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Vectors,
    ::testing::Values(
        DigestCase{"Abc", "abc",
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        DigestCase{"Empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        DigestCase{"TwoBlocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        DigestCase{"MillionA", std::string(1000000, 'a'),
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const ::testing::TestParamInfo<DigestCase>& info) { return info.param.name; });

TEST(FleetPlan, ReadsWhatSpreadsheetsWrite) {
    // A byte-order mark, CRLF line ends, columns in another order and case, quoted labels.
    const std::string text =
        "\xEF\xBB\xBFLabel,Port,Address,Speed,Protocol\r\n"
        "  # a comment\r\n"
        "\r\n"
        "\"Gate 3, \"\"east\"\"\",COM3,7,4800,PELCO-P\r\n"
        "  , rfc2217://mast:4001 ,255,2400,pelco-d\r\n";
    std::string error;
    const auto rows = ParsePlan(text, "site.csv", PlanRules{}, error);
    ASSERT_TRUE(rows) << error;
    ASSERT_EQ(rows->size(), 2U);
    EXPECT_EQ((*rows)[0].line, 4);
    EXPECT_EQ((*rows)[0].label, "Gate 3, \"east\"");
    EXPECT_EQ((*rows)[0].port, "COM3");
    EXPECT_EQ((*rows)[0].address, 7);
    EXPECT_EQ((*rows)[0].protocolName, "pelco-p");
    EXPECT_EQ((*rows)[0].speed, 4800);
    EXPECT_EQ((*rows)[1].port, "rfc2217://mast:4001");
    EXPECT_EQ((*rows)[1].label, "");
    EXPECT_EQ((*rows)[1].address, 255);
}

TEST(FleetPlan, RefusesHeadersAndRowsItCannotRun) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"port,address,protocol\nCOM1,1,pelco-d\n",
         "p.csv line 1: the header has no 'speed' column"},
        {"port,address,protocol,speed,colour\n", "p.csv line 1: column 5: 'colour' is not"},
        {"port,address,protocol,speed\nCOM1,0,pelco-d,2400\n",
         "p.csv line 2: column 2 (address): '0' is not an address"},
        {"port,address,protocol,speed\nCOM1,1,pelco-d,1200\n",
         "p.csv line 2: column 4 (speed): '1200' is not a control speed"},
        {"port,address,protocol,speed\n,1,pelco-d,2400\n", "p.csv line 2: column 1 (port): empty"},
        {"port,address,protocol,speed,label\nCOM1,1,pelco-d,2400,\"open\n",
         "p.csv line 2: the quote at column 21 is not closed"},
        {"port,address,protocol,speed\nsim,1,pelco-d,2400\nsim,2,pelco-p,2400\n",
         "p.csv line 3: the simulated bus 'sim' has one protocol and speed"},
        {"# only a comment\n", "p.csv: the plan has no heads"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_FALSE(ParsePlan(text, "p.csv", PlanRules{}, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0U) << error;
    }
}

TEST(FleetReport, LinesQuoteWhatCsvNeedsAndReadBack) {
    ReportEntry entry;
    entry.row = 12;
    entry.label = "Yard, \"north\"";
    entry.port = "rfc2217://server:4001";
    entry.address = 9;
    entry.image = "fw v2.bin";
    entry.sha256 = "ab";
    entry.outcome = "failed: no connection";
    entry.frames = 0;
    EXPECT_EQ(ReportLine(entry),
              "12,\"Yard, \"\"north\"\"\",rfc2217://server:4001,9,fw v2.bin,ab,,,failed: no "
              "connection,0,0");
    std::string error;
    const auto fields = SplitCsvLine(ReportLine(entry), error);
    ASSERT_TRUE(fields) << error;
    EXPECT_EQ((*fields)[1].text, entry.label);

    EXPECT_EQ(IsoUtc(std::chrono::system_clock::from_time_t(0)), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(std::chrono::system_clock::from_time_t(951782400)), "2000-02-29T00:00:00Z");
    EXPECT_EQ(IsoUtc(std::chrono::system_clock::from_time_t(4102444799)), "2099-12-31T23:59:59Z");
}

TEST(FleetReport, ResumeTrustsOnlyWholeUpgradedLines) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ptz-report-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string path = pattern + "/report.csv";
    std::ofstream(path) << kReportHeader << "\n"
                        << "2,a,COM1,1,f.bin,aa,t,t,upgraded,3,0\n"
                        << "3,b,COM1,2,f.bin,aa,t,t,failed: no connection,0,0\n"
                        << "4,c,COM1,3,f.bin,aa,t,t,upgraded,3,0";  // cut off
    std::string error;
    auto record = ReadResumeReport(path, {}, error);
    ASSERT_TRUE(record) << error;
    EXPECT_TRUE(record->tornLastLine);
    ASSERT_EQ(record->upgraded.size(), 1U);
    EXPECT_EQ(record->upgraded.count({"COM1", 1, "aa"}), 1U);

    std::ofstream(path, std::ios::app) << "\n5,d,COM1\n";
    EXPECT_FALSE(ReadResumeReport(path, {}, error));
    EXPECT_NE(error.find("report.csv line 5: 3 columns where the header has 11"), std::string::npos)
        << error;
    std::filesystem::remove_all(pattern);
}

}  // namespace
