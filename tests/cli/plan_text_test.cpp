// The texts of a fleet plan run: plan rows, report lines and their reading back, UTC times, and
// the image digest against the FIPS 180 test vectors.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli_options.h"
#include "csv_line.h"
#include "fleet_plan.h"
#include "image_digest.h"
#include "plan_load.h"
#include "plan_report.h"
#include "port_identity.h"

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
    const std::string head = "port,address,protocol,speed,image,label\n";
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
        // Text that would reach the report and the terminal as it is.
        {head + "COM1,1,pelco-d,2400,fw.bin,Gate \x1B]0;x\x07\n",
         "p.csv line 2: column 6 (label): a control character (0x1B): a plan holds printable "
         "text only"},
        {head + std::string("\"COM1\0\",1,pelco-d,2400\n", 23),
         "p.csv line 2: column 1 (port): a control character (0x00)"},
        {head + "COM1,1,pelco-d,2400,fw\rx.bin\n",
         "p.csv line 2: column 5 (image): a control "
         "character (0x0D)"},
        {head + "COM1,1,pelco-d,2400,,\xC2\x9B"
                "2J\n",
         "p.csv line 2: column 6 (label): a control character (0x9B)"},
        {"port,address,protocol,speed,\x1B[2J\n", "p.csv line 1: column 5: a control character"},
        // The checks of --port, and one port under two names.
        {head + "socket://yard:4001,1,pelco-d,2400\n",
         "p.csv line 2: column 1 (port): a raw TCP port cannot change the server's line speed"},
        {head + "rfc2217://yard:0,1,pelco-d,2400\n",
         "p.csv line 2: column 1 (port): 'rfc2217://yard:0' is not a network port"},
        {head + "COM3,1,pelco-d,2400\n\\\\.\\com3,1,pelco-p,4800\n",
         "p.csv line 3: head 1 on \\\\.\\com3 is planned twice (first at line 2, as COM3: one "
         "port)"},
        {head + "RFC2217://Yard:4001,7,pelco-d,2400\nrfc2217://yard:04001,7,pelco-d,2400\n",
         "p.csv line 3: head 7 on rfc2217://yard:04001 is planned twice"},
    };
    PlanRules rules;
    rules.busOf = [](const std::string& port) {
        return port.find("://") == std::string::npos ? WindowsDeviceName(port)
                                                     : CanonicalPortName(port);
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_FALSE(ParsePlan(text, "p.csv", rules, error)) << text;
        EXPECT_EQ(error.rfind(message, 0), 0U) << error;
    }
    // Without the upgrade-mode command nothing selects a head: one per port.
    rules.noSwitch = true;
    std::string error;
    EXPECT_TRUE(ParsePlan(head + "socket://yard:4001,1,pelco-d,2400\n", "p.csv", rules, error))
        << error;
    EXPECT_FALSE(
        ParsePlan(head + "COM3,1,pelco-d,2400\ncom3,2,pelco-d,2400\n", "p.csv", rules, error));
    EXPECT_EQ(error,
              "p.csv line 3: --no-switch takes one head per port, and com3 has another at "
              "line 2");
}

TEST(FleetPlan, TheHelpExampleIsAPlanThatRuns) {
    std::ostringstream out;
    std::ostringstream err;
    const char* argv[] = {"ptz-upgrade", "--help"};
    ParseCommandLine(2, argv, out, err);
    const std::string help = out.str();
    const auto start = help.find("  port,address");
    ASSERT_NE(start, std::string::npos) << help;
    std::string plan;
    std::istringstream lines(help.substr(start));
    for (std::string line; std::getline(lines, line) && line.rfind("  ", 0) == 0;) {
        plan += line.substr(2) + "\n";
    }
    std::string error;
    const auto rows = ParsePlan(plan, "help", PlanRules{}, error);
    ASSERT_TRUE(rows) << error << "\n" << plan;
    EXPECT_EQ(rows->size(), 3U);
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

TEST(FleetReport, ResumeTakesEachHeadsLastWholeLine) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ptz-report-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string path = pattern + "/report.csv";
    // Head 1 upgraded, then failed part-way in a later run under another spelling of its port;
    // head 2 the other way round; head 3's success cut off.
    std::ofstream(path) << kReportHeader << "\n"
                        << "2,a,COM1,1,f.bin,aa,t,t,upgraded,3,0\n"
                        << "3,b,COM1,2,f.bin,aa,t,t,failed: no connection,0,0\n"
                        << "2,a,\\\\.\\com1,1,f.bin,aa,t,t,failed: upgrade failed,1,0\n"
                        << "3,b,COM1,2,f.bin,aa,t,t,upgraded,3,0\n"
                        << "4,c,COM1,3,f.bin,aa,t,t,upgraded,3,0";  // cut off
    std::string error;
    auto record = ReadResumeReport(path, WindowsDeviceName, error);
    ASSERT_TRUE(record) << error;
    EXPECT_TRUE(record->tornLastLine);
    ASSERT_EQ(record->upgraded.size(), 1U);
    EXPECT_EQ(record->upgraded.count({"COM1", 2, "aa"}), 1U);

    std::ofstream(path, std::ios::app) << "\n5,d,COM1\n";
    EXPECT_FALSE(ReadResumeReport(path, WindowsDeviceName, error));
    EXPECT_NE(error.find("report.csv line 7: 3 columns where the header has 11"), std::string::npos)
        << error;
    std::filesystem::remove_all(pattern);
}

struct CellCase {
    const char* name;
    std::string text;
    std::string cell;
};

void PrintTo(const CellCase& c, std::ostream* out) {
    *out << c.name;
}

class FormulaCells : public ::testing::TestWithParam<CellCase> {};

TEST_P(FormulaCells, AreWrittenAsTextAndReadBackUnchanged) {
    const CellCase& c = GetParam();
    EXPECT_EQ(CsvTextCell(c.text), c.cell);
    ReportEntry entry;
    entry.row = 2;
    entry.label = c.text;
    entry.port = c.text;
    entry.address = 1;
    entry.image = "fw.bin";
    entry.sha256 = "aa";
    entry.outcome = "upgraded";
    const std::string line = ReportLine(entry);
    std::string error;
    const auto record =
        ParseResumeReport(std::string(kReportHeader) + "\n" + line + "\n", "r.csv", {}, error);
    ASSERT_TRUE(record) << error;
    ASSERT_EQ(record->upgraded.count({c.text, 1, "aa"}), 1U);
    // Copied into a new report as it was written.
    EXPECT_EQ(record->upgraded.begin()->second, line);
}

INSTANTIATE_TEST_SUITE_P(
    Report, FormulaCells,
    ::testing::Values(CellCase{"Hyperlink", "=HYPERLINK(\"http://x\",\"y\")",
                               "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
                      CellCase{"Plus", "+1", "'+1"}, CellCase{"Minus", "-1+2", "'-1+2"},
                      CellCase{"At", "@SUM(A1)", "'@SUM(A1)"}, CellCase{"Tab", "\tx", "'\tx"},
                      CellCase{"CarriageReturn", "\rx", "\"'\rx\""},
                      CellCase{"TextMark", "'x", "''x"}, CellCase{"EqualsInside", "a=b", "a=b"},
                      CellCase{"Empty", "", ""}),
    [](const ::testing::TestParamInfo<CellCase>& info) { return info.param.name; });

// A FIFO named as a plan, a report or a report to resume from must not hold the run, and a file
// that is not a report is never appended to.
TEST(PlanFiles, OnlyRegularFilesAndOnlyReportsAreTaken) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ptz-files-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const std::string fifo = pattern + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string plan = pattern + "/plan.csv";
    const std::string planText = "port,address,protocol,speed\nCOM1,1,pelco-d,2400\n";
    std::ofstream(plan) << planText;
    std::string error;
    std::string note;

    EXPECT_EQ(LoadPlan(fifo, "fw.bin", false).error,
              "Failed to open the plan '" + fifo +
                  "': it is not a regular file (a folder, pipe, device or socket)");
    EXPECT_FALSE(ReadResumeReport(fifo, {}, error));
    EXPECT_NE(error.find("it is not a regular file"), std::string::npos) << error;
    for (const std::string& notAReport : {fifo, std::string("/dev/null"), plan}) {
        CPlanReport report;
        EXPECT_FALSE(report.Open(notAReport, error, note)) << notAReport;
        EXPECT_NE(error.find(notAReport == plan ? "is not a report of ptz-upgrade"
                                                : "it is not a regular file"),
                  std::string::npos)
            << error;
    }
    std::ifstream in(plan);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), planText);
    std::filesystem::remove_all(pattern);
}

}  // namespace
