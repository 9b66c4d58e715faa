// ptz-upgrade --plan end to end against the real ptz-headsim: several heads on each pty, mixed
// protocols and speeds, ports in parallel, the report line by line, a failing bus, an
// interrupted run resumed, plans refused before anything is sent, and the --json events that
// representative runs write together.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "json_event_check.h"
#include "process_runner.h"

namespace {

constexpr int kRunLimitMs = 90000;

// How often each head address completed an upgrade, by ptz-headsim's log.
std::map<int, int> DoneByAddress(const std::string& log) {
    std::map<int, int> done;
    const std::regex address("\"address\":([0-9]+)");
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (line.find("\"event\":\"done\"") != std::string::npos &&
            std::regex_search(line, match, address)) {
            ++done[std::stoi(match[1])];
        }
    }
    return done;
}

// The report with its times made "<t>", which no test can know.
std::vector<std::string> ReportLines(const std::string& text) {
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    std::vector<std::string> lines;
    for (const std::string& line : Lines(text)) {
        lines.push_back(std::regex_replace(line, time, "<t>"));
    }
    return lines;
}

const char* const kShaA = "278573f1bd7ef5f75042c08d8a037a62c1d1721f88d9465e6963fde62a031074";
const char* const kShaB = "b8ae6da5dab375e5c4db955417dec8c61a765a9b442115a5591c9191fa34fde1";
const char* const kShaC = "01d5d9b12f02b9b4628a4d60742dea1805a4a1cec50641586c191cad6025e5d7";
const char* const kHeader =
    "row,label,port,address,image,image_sha256,start,end,outcome,frames,resends";

class PlanEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "ptz-plan-e2e-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        // a: 3 frames, b: 2 frames, c: 2 frames (the command line's image).
        MakeImage("a.bin", 8292, 1);
        MakeImage("b.bin", 8192, 2);
        MakeImage("c.bin", 5000, 3);
    }
    void TearDown() override {
        m_heads.clear();
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    void MakeImage(const std::string& name, std::size_t size, std::uint32_t seed) {
        std::string bytes(size, '\0');
        for (char& byte : bytes) {
            seed = seed * 1103515245U + 12345U;
            byte = static_cast<char>(seed >> 16U);
        }
        std::ofstream(Path(name), std::ios::binary) << bytes;
        m_images[name] = bytes;
    }
    std::string Padded(const std::string& name) {
        std::string padded = m_images[name];
        padded.resize((padded.size() + 4095) / 4096 * 4096, '\xFF');
        return padded;
    }

    // ptz-headsim number `n` with the heads of one bus; returns the pty link (bus<n>, or
    // `linkName` to take the place of an earlier head).
    std::string StartBus(int n, std::vector<std::string> args, const std::string& linkName = {}) {
        std::string link = Path(linkName.empty() ? "bus" + std::to_string(n) : linkName);
        std::vector<std::string> argv = {PTZ_HEADSIM_EXE, "--link", link,  "--out",
                                         Out(n),          "--log",  Log(n)};
        argv.insert(argv.end(), args.begin(), args.end());
        m_heads.push_back(std::make_unique<ChildProcess>(argv, m_dir, "bus" + std::to_string(n)));
        EXPECT_TRUE(m_heads.back()->WaitForOutput(link, 5000)) << "ptz-headsim did not start";
        return link;
    }
    std::string Out(int n) const { return Path("out" + std::to_string(n) + ".bin"); }
    std::string Log(int n) const { return Path("log" + std::to_string(n) + ".json"); }

    // Three buses of four heads: Pelco-D at 2400, Pelco-P at 4800, Pelco-D at 19200; rows of
    // the buses interleaved, so that only the port groups them.
    void StartThreeBuses(const std::vector<std::string>& firstBusFaults = {},
                         const std::vector<std::string>& all = {}) {
        std::vector<std::string> a = {"--address", "1-4"};
        a.insert(a.end(), firstBusFaults.begin(), firstBusFaults.end());
        std::vector<std::string> b = {"--address", "10-13",   "--protocol",
                                      "pelco-p",   "--speed", "4800"};
        std::vector<std::string> c = {"--address", "250-253", "--speed", "19200"};
        for (auto* args : {&a, &b, &c}) {
            args->insert(args->end(), all.begin(), all.end());
        }
        m_links = {StartBus(0, a), StartBus(1, b), StartBus(2, c)};
    }
    std::string ThreeBusPlan(const std::string& imageA = "a.bin",
                             const std::string& imageB = "b.bin") const {
        std::string plan = "# three buses\nport,address,protocol,speed,image,label\n";
        for (int i = 0; i < 4; ++i) {
            plan += m_links[0] + "," + std::to_string(1 + i) + ",pelco-d,2400," + imageA +
                    ",Gate " + std::to_string(1 + i) + "\n";
            plan += m_links[1] + "," + std::to_string(10 + i) + ",Pelco-P,4800," + imageB +
                    ",\"Yard, mast " + std::to_string(i) + "\"\n";
            plan += "\n" + m_links[2] + "," + std::to_string(250 + i) + ",pelco-d,19200\n";
        }
        return plan;
    }
    // The report line of a head of ThreeBusPlan, times as "<t>".
    std::string Expected(int bus, int i, const std::string& outcome, int frames) const {
        const int row = 3 + 4 * i + (bus == 2 ? 3 : bus);
        const std::vector<std::string> labels = {"Gate " + std::to_string(1 + i),
                                                 "\"Yard, mast " + std::to_string(i) + "\"", ""};
        const std::vector<std::string> images = {"a.bin," + std::string(kShaA),
                                                 "b.bin," + std::string(kShaB),
                                                 Path("c.bin") + "," + kShaC};
        const int address = std::vector<int>{1, 10, 250}[static_cast<std::size_t>(bus)] + i;
        const bool tried = outcome != "not tried";
        return std::to_string(row) + "," + labels[static_cast<std::size_t>(bus)] + "," +
               m_links[static_cast<std::size_t>(bus)] + "," + std::to_string(address) + "," +
               images[static_cast<std::size_t>(bus)] + "," + (tried ? "<t>,<t>," : ",,") + outcome +
               "," + std::to_string(frames) + ",0";
    }

    ProcessResult Upgrade(std::vector<std::string> args, long long fileSizeLimit = -1) {
        args.insert(args.begin(), PTZ_UPGRADE_EXE);
        ChildProcess upgrade(args, m_dir, "upgrade", {}, fileSizeLimit);
        return upgrade.Wait(kRunLimitMs);
    }
    void WritePlan(const std::string& text) const { std::ofstream(Path("plan.csv")) << text; }

    std::string m_dir;
    std::map<std::string, std::string> m_images;
    std::vector<std::string> m_links;
    std::vector<std::unique_ptr<ChildProcess>> m_heads;
};

TEST_F(PlanEndToEnd, ThreeBusesOfFourHeadsAllUpgradeInParallelWithAnExactReport) {
    StartThreeBuses();
    WritePlan(ThreeBusPlan());
    const ProcessResult run = Upgrade({"--plan", Path("plan.csv"), "--report", Path("report.csv"),
                                       "--ack-delay", "0", "--json", Path("c.bin")});
    ASSERT_EQ(run.exitStatus, 0) << run.err;

    std::vector<std::string> expected = {kHeader};
    std::vector<std::string> report = ReportLines(ReadFileText(Path("report.csv")));
    ASSERT_EQ(report.size(), 13U) << ReadFileText(Path("report.csv"));
    // Lines come as heads end, so buses interleave; each bus's heads keep the plan's order.
    std::vector<std::string> sorted(report.begin() + 1, report.end());
    std::sort(sorted.begin(), sorted.end(), [](const std::string& x, const std::string& y) {
        return std::stoi(x) < std::stoi(y);
    });
    for (int i = 0; i < 4; ++i) {
        expected.push_back(Expected(0, i, "upgraded", 3));
        expected.push_back(Expected(1, i, "upgraded", 2));
        expected.push_back(Expected(2, i, "upgraded", 2));
    }
    sorted.insert(sorted.begin(), report[0]);
    EXPECT_EQ(sorted, expected);

    const std::vector<std::string> images = {"a.bin", "b.bin", "c.bin"};
    const std::vector<int> first = {1, 10, 250};
    for (int bus = 0; bus < 3; ++bus) {
        SCOPED_TRACE(bus);
        const std::map<int, int> once = {
            {first[bus], 1}, {first[bus] + 1, 1}, {first[bus] + 2, 1}, {first[bus] + 3, 1}};
        const std::string log = ReadFileText(Log(bus));
        EXPECT_EQ(DoneByAddress(log), once);
        EXPECT_EQ(log.find("\"ok\":false"), std::string::npos) << "every frame arrived whole";
        EXPECT_TRUE(ReadFileText(Out(bus)) == Padded(images[bus]));
    }
    // In parallel: the last bus accepts frames before the first bus's last head is done, and
    // the events carry the row's label.
    const std::string lastHeadOfA = "{\"schema\":1,\"event\":\"result\",\"port\":\"" + m_links[0] +
                                    "\",\"address\":4,\"row\":15,\"label\":\"Gate 4\"";
    const std::string frameOfC = "\"event\":\"frame\",\"port\":\"" + m_links[2] + "\"";
    ASSERT_NE(run.out.find(lastHeadOfA), std::string::npos) << run.out;
    EXPECT_LT(run.out.find(frameOfC), run.out.find(lastHeadOfA));
    EXPECT_NE(run.err.find("12 head(s): 12 upgraded"), std::string::npos) << run.err;
}

TEST_F(PlanEndToEnd, AFailedHeadStopsItsBusOnlyAndTheReportNamesEveryHead) {
    // Head 2 of the first bus answers 0x86 to its second frame; head 12 of the second bus is
    // not on the line at all, which stops nothing. Two ports at a time: the third waits.
    StartThreeBuses({"--fault-address", "2", "--fail-at", "1"});
    std::string plan = ThreeBusPlan();
    plan = std::regex_replace(plan, std::regex(",12,Pelco-P"), ",99,Pelco-P");
    WritePlan(plan);
    const ProcessResult run =
        Upgrade({"--plan", Path("plan.csv"), "--report", Path("report.csv"), "--ack-delay", "0",
                 "--answer-timeout", "0.5", "--jobs", "2", "-q", Path("c.bin")});
    EXPECT_EQ(run.exitStatus, 5) << run.err;  // the first failure in the plan's order: 0x86

    std::map<int, std::string> outcomes;  // by row
    for (const std::string& line : ReportLines(ReadFileText(Path("report.csv")))) {
        if (line != kHeader) {
            outcomes[std::stoi(line)] = line;
        }
    }
    ASSERT_EQ(outcomes.size(), 12U);
    EXPECT_EQ(outcomes[3], Expected(0, 0, "upgraded", 3));
    EXPECT_EQ(outcomes[7], Expected(0, 1, "failed: upgrade failed", 1));
    EXPECT_EQ(outcomes[11], Expected(0, 2, "not tried", 0));
    EXPECT_EQ(outcomes[15], Expected(0, 3, "not tried", 0));
    const std::string absent = Expected(1, 2, "failed: no connection", 0);
    EXPECT_EQ(outcomes[12], std::regex_replace(absent, std::regex(",12,b.bin"), ",99,b.bin"));
    for (const int row : {4, 8, 16, 6, 10, 14, 18}) {
        EXPECT_NE(outcomes[row].find(",upgraded,"), std::string::npos) << outcomes[row];
    }
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(0))), (std::map<int, int>{{1, 1}}));
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(2))).size(), 4U);
    EXPECT_NE(run.err.find(m_links[1] + ": head 10 upgraded, head 11 upgraded, head 99 failed (no "
                                        "connection), head 13 upgraded"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("12 head(s): 8 upgraded, 2 failed, 2 not tried"), std::string::npos)
        << run.err;
}

TEST_F(PlanEndToEnd, AnInterruptedRunResumesWithoutFlashingAnyHeadTwice) {
    // One image and one pace for all, so that the buses keep step.
    StartThreeBuses({}, {"--pace", "115200"});
    WritePlan(ThreeBusPlan("c.bin", "c.bin"));
    const std::string report = Path("report.csv");
    ChildProcess first({PTZ_UPGRADE_EXE, "--plan", Path("plan.csv"), "--report", report,
                        "--ack-delay", "0", "-q", Path("c.bin")},
                       m_dir, "first");
    // Stop once every bus has switched its second head: each is then in the pause before the
    // connection check, far from the end of any transfer.
    auto secondHeadSwitched = [&](int bus) {
        const std::vector<std::string> log = Lines(ReadFileText(Log(bus)));
        return std::count_if(log.begin(), log.end(), [](const std::string& line) {
                   return line.find("\"accepted\":true") != std::string::npos;
               }) == 2;
    };
    for (int i = 0;
         i < 1500 && !(secondHeadSwitched(0) && secondHeadSwitched(1) && secondHeadSwitched(2));
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    first.Signal(SIGINT);
    const ProcessResult stopped = first.Wait(20000);
    EXPECT_EQ(stopped.exitStatus, 130) << stopped.err;
    const std::vector<std::string> cut = ReportLines(ReadFileText(report));
    ASSERT_EQ(cut.size(), 13U) << ReadFileText(report);
    EXPECT_EQ(std::count_if(cut.begin(), cut.end(),
                            [](const std::string& l) {
                                return l.find(",failed: stopped,") != std::string::npos;
                            }),
              3);

    // A line cut short claiming head 3 of the first bus is not trusted.
    const std::string torn = "9,Gate 3," + m_links[0] + ",3,c.bin," + kShaC + ",x,x,upgraded,2";
    std::ofstream(report, std::ios::app) << torn;
    const ProcessResult resumed = Upgrade(
        {"--plan", Path("plan.csv"), "--resume", report, "--ack-delay", "0", "-q", Path("c.bin")});
    EXPECT_EQ(resumed.exitStatus, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("is incomplete"), std::string::npos) << resumed.err;
    EXPECT_NE(resumed.err.find("12 head(s): 9 upgraded, 3 skipped as upgraded before"),
              std::string::npos)
        << resumed.err;
    // Once more into a new report: nothing to do, and the new report names every head.
    const ProcessResult again = Upgrade({"--plan", Path("plan.csv"), "--resume", report, "--report",
                                         Path("fresh.csv"), "-q", Path("c.bin")});
    EXPECT_EQ(again.exitStatus, 0) << again.err;
    EXPECT_NE(again.err.find("12 head(s): 0 upgraded, 12 skipped"), std::string::npos) << again.err;
    EXPECT_EQ(ReportLines(ReadFileText(Path("fresh.csv"))).size(), 13U);
    for (int bus = 0; bus < 3; ++bus) {
        const std::map<int, int> done = DoneByAddress(ReadFileText(Log(bus)));
        EXPECT_EQ(done.size(), 4U) << bus;
        for (const auto& [address, times] : done) {
            EXPECT_EQ(times, 1) << "head " << address << " flashed " << times << " times";
        }
    }
    const std::string whole = ReadFileText(report);
    EXPECT_EQ(whole.find(",x,x,"), std::string::npos) << "the torn line is cut away";
    const std::vector<std::string> lines = ReportLines(whole);
    EXPECT_EQ(std::count_if(
                  lines.begin(), lines.end(),
                  [](const std::string& l) { return l.find(",upgraded,") != std::string::npos; }),
              12);
}

TEST_F(PlanEndToEnd, ABadPlanIsAUsageErrorNamingItsLineAndNothingIsSent) {
    const std::string link = StartBus(0, {"--address", "1-3"});
    const std::string target = std::filesystem::read_symlink(link).string();
    const std::string good = link + ",1,pelco-d,2400,a.bin,ok\n";
    const std::string header = "port,address,protocol,speed,image,label\n";
    struct Case {
        std::string rows;
        std::string message;
    };
    const std::vector<Case> cases = {
        {good + link + ",2,pelco-d\n", "plan.csv line 3: column 4 (speed): missing"},
        {good + "# a comment\n\n" + link + ",256,pelco-d,2400\n",
         "plan.csv line 5: column 2 (address): '256' is not an address"},
        {link + ",2,pelco-x,2400\n", "plan.csv line 2: column 3 (protocol): 'pelco-x'"},
        {good + link + ",2,pelco-d,2400,a.bin,east,more\n",
         "plan.csv line 3: column 7: an extra column"},
        {good + link + ",3,pelco-p,4800,missing.bin,\n",
         "plan.csv line 3, column 5 (image): Failed to open the image"},
        {good + link + ",1,pelco-p,4800,a.bin,\n",
         "line 3: head 1 on " + link + " is planned twice (first at line 2)"},
        {good + target + ",1,pelco-d,2400\n", "line 3: head 1 on " + target +
                                                  " is planned twice (first at line 2, as " + link +
                                                  ": one port)"},
        {good + "socket://127.0.0.1:4001,1,pelco-d,2400\n",
         "line 3: column 1 (port): a raw TCP port cannot change the server's line speed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows);
        WritePlan(header + c.rows);
        const ProcessResult run =
            Upgrade({"--plan", Path("plan.csv"), "--report", Path("report.csv"), "-q"});
        EXPECT_EQ(run.exitStatus, 2) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    // Files that are not what they are named for: the plan as its own report, a FIFO.
    WritePlan(header + good);
    const std::string plan = ReadFileText(Path("plan.csv"));
    for (const std::string& report : {std::string("plan.csv"), std::string("./plan.csv")}) {
        const ProcessResult run =
            Upgrade({"--plan", Path("plan.csv"), "--report", Path(report), "-q"});
        EXPECT_EQ(run.exitStatus, 2) << run.err;
        EXPECT_NE(run.err.find("is the plan itself"), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadFileText(Path("plan.csv")), plan) << "never appended to";
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    const ProcessResult fifo = Upgrade({"--plan", Path("fifo"), "-q", Path("c.bin")});
    EXPECT_EQ(fifo.exitStatus, 2) << fifo.err;
    EXPECT_NE(fifo.err.find("it is not a regular file"), std::string::npos) << fifo.err;

    for (const std::string& line : Lines(ReadFileText(Log(0)))) {
        EXPECT_NE(line.find("\"event\":\"start\""), std::string::npos) << "sent: " << line;
    }
    EXPECT_FALSE(std::filesystem::exists(Path("report.csv")));
}

TEST_F(PlanEndToEnd, OnePortUnderTwoNamesIsOneBus) {
    // A symlink and its target: run as two buses, the second would take the line while the
    // first had it closed after the upgrade-mode command.
    const std::string link = StartBus(0, {"--address", "1-2"});
    const std::string target = std::filesystem::read_symlink(link).string();
    WritePlan("port,address,protocol,speed\n" + link + ",1,pelco-d,2400\n" + target +
              ",2,pelco-d,2400\n");
    const ProcessResult run =
        Upgrade({"--plan", Path("plan.csv"), "--report", Path("report.csv"), "-q", Path("c.bin")});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(run.err.find("2 head(s): 2 upgraded"), std::string::npos) << run.err;
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(0))), (std::map<int, int>{{1, 1}, {2, 1}}));
    const std::vector<std::string> report = ReportLines(ReadFileText(Path("report.csv")));
    ASSERT_EQ(report.size(), 3U);
    EXPECT_EQ(report[1],
              "2,," + link + ",1," + Path("c.bin") + "," + kShaC + ",<t>,<t>,upgraded,2,0");
    EXPECT_EQ(report[2],
              "3,," + target + ",2," + Path("c.bin") + "," + kShaC + ",<t>,<t>,upgraded,2,0");
}

TEST_F(PlanEndToEnd, AStaleSuccessIsNotTrustedAndResendsAreReported) {
    const std::string plan = "port,address,protocol,speed\n" + Path("bus") + ",1,pelco-d,2400\n";
    WritePlan(plan);
    const std::vector<std::string> report = {
        "--plan", Path("plan.csv"), "--report", Path("report.csv"), "-q", Path("c.bin")};
    // Upgraded with one resend; then, in a later run into the same report, failed part-way.
    StartBus(0, {"--bad-sum-at", "0"}, "bus");
    EXPECT_EQ(Upgrade(report).exitStatus, 0);
    m_heads.clear();
    StartBus(1, {"--fail-at", "1"}, "bus");
    EXPECT_EQ(Upgrade(report).exitStatus, 5);
    const std::string line =
        "2,," + Path("bus") + ",1," + Path("c.bin") + "," + kShaC + ",<t>,<t>,";
    EXPECT_EQ(ReportLines(ReadFileText(Path("report.csv"))),
              (std::vector<std::string>{kHeader, line + "upgraded,2,1",
                                        line + "failed: upgrade failed,1,0"}));
    // The last word decides: the head is upgraded again.
    m_heads.clear();
    StartBus(2, {}, "bus");
    const ProcessResult resumed =
        Upgrade({"--plan", Path("plan.csv"), "--resume", Path("report.csv"), "-q", Path("c.bin")});
    EXPECT_EQ(resumed.exitStatus, 0) << resumed.err;
    EXPECT_NE(resumed.err.find("1 head(s): 1 upgraded, 0 skipped"), std::string::npos)
        << resumed.err;
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(2))), (std::map<int, int>{{1, 1}}));
}

TEST_F(PlanEndToEnd, HeadsOfAPortStoppedBeforeItsTurnAreReportedNotTried) {
    m_links = {StartBus(0, {}), StartBus(1, {"--address", "2"})};
    WritePlan("port,address,protocol,speed\n" + m_links[0] + ",1,pelco-d,2400\n" + m_links[1] +
              ",2,pelco-d,2400\n");
    ChildProcess run({PTZ_UPGRADE_EXE, "--plan", Path("plan.csv"), "--report", Path("report.csv"),
                      "--jobs", "1", "--switch-pause", "5000", "-q", Path("c.bin")},
                     m_dir, "upgrade");
    // Stop in the first port's pause after its upgrade-mode command.
    for (int i = 0; i < 500 && ReadFileText(Log(0)).find("\"accepted\":true") == std::string::npos;
         ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.Signal(SIGINT);
    const ProcessResult stopped = run.Wait(20000);
    EXPECT_EQ(stopped.exitStatus, 130) << stopped.err;
    const std::string image = Path("c.bin") + "," + kShaC;
    EXPECT_EQ(ReportLines(ReadFileText(Path("report.csv"))),
              (std::vector<std::string>{
                  kHeader, "2,," + m_links[0] + ",1," + image + ",<t>,<t>,failed: stopped,0,0",
                  "3,," + m_links[1] + ",2," + image + ",,,not tried,0,0"}));
}

TEST_F(PlanEndToEnd, AReportThatCannotBeWrittenStopsNewHeadsAndExitsTen) {
    const std::string link = StartBus(0, {"--address", "1-3"});
    std::string plan = "port,address,protocol,speed,label\n";
    for (int head = 1; head <= 3; ++head) {
        plan +=
            link + "," + std::to_string(head) + ",pelco-d,2400,Gate " + std::to_string(head) + "\n";
    }
    WritePlan(plan);
    // An earlier report, and room in the file for one more line and half of the next.
    std::string earlier = std::string(kHeader) + "\n";
    while (earlier.size() < 16384) {
        earlier += "99,old,COM9,1,x.bin,aa,,,not tried,0,0\n";
    }
    std::ofstream(Path("report.csv")) << earlier;
    const std::size_t line = ("2,Gate 1," + link + ",1," + Path("c.bin") + "," + kShaC +
                              ",2026-01-01T00:00:00Z,2026-01-01T00:00:00Z,upgraded,2,0\n")
                                 .size();
    const ProcessResult run = Upgrade(
        {"--plan", Path("plan.csv"), "--report", Path("report.csv"), "--json", "-q", Path("c.bin")},
        static_cast<long long>(earlier.size() + line + line / 2));
    EXPECT_EQ(run.exitStatus, 10) << run.err;
    EXPECT_NE(run.err.find("Failed to write the report '" + Path("report.csv") + "': only "),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("head 1 upgraded, head 2 upgraded, head 3 not tried"), std::string::npos)
        << run.err;
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(0))), (std::map<int, int>{{1, 1}, {2, 1}}));
    const std::vector<std::string> out = Lines(run.out);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(
        out.back().rfind("{\"schema\":1,\"event\":\"result\",\"status\":\"report not written\","
                         "\"exit\":10,\"message\":\"Failed to write the report",
                         0),
        0U)
        << out.back();
    // Head 1's line whole, head 2's cut short, which --resume and the next report ignore.
    const std::string text = ReadFileText(Path("report.csv"));
    EXPECT_EQ(text.size(), earlier.size() + line + line / 2);
    EXPECT_NE(ReportLines(text.substr(earlier.size()))[0].find(",upgraded,2,0"), std::string::npos);
}

}  // namespace

namespace {

// The addresses the loader sent an upgrade-mode command to, by ptz-headsim's log.
std::vector<int> CommandedAddresses(const std::string& log) {
    std::vector<int> addresses;
    const std::regex address("\"address\":([0-9]+)");
    for (const std::string& line : Lines(log)) {
        std::smatch match;
        if (line.find("\"event\":\"command\"") != std::string::npos &&
            std::regex_search(line, match, address)) {
            addresses.push_back(std::stoi(match[1]));
        }
    }
    return addresses;
}

// The outcome column of each report line, by the plan's line.
std::map<int, std::string> Outcomes(const std::string& report) {
    std::map<int, std::string> outcomes;
    for (const std::string& line : ReportLines(report)) {
        if (line != kHeader) {
            const std::vector<std::string> cells = [&] {
                std::vector<std::string> split;
                std::stringstream in(line);
                for (std::string cell; std::getline(in, cell, ',');) {
                    split.push_back(cell);
                }
                return split;
            }();
            outcomes[std::stoi(line)] = cells.at(8);
        }
    }
    return outcomes;
}

TEST_F(PlanEndToEnd, AFailedCanaryHaltsTheRolloutAndResumeGoesOnFromIt) {
    // The plan's first head fails its second frame (once: ptz-headsim's fault is spent then).
    m_links = {StartBus(0, {"--address", "1-3", "--fault-address", "1", "--fail-at", "1"}),
               StartBus(1, {"--address", "10-11"})};
    WritePlan("port,address,protocol,speed\n" + m_links[1] + ",10,pelco-d,2400\n" + m_links[0] +
              ",1,pelco-d,2400\n" + m_links[0] + ",2,pelco-d,2400\n" + m_links[1] +
              ",11,pelco-d,2400\n" + m_links[0] + ",3,pelco-d,2400\n");
    const std::vector<std::string> args = {"--plan",           Path("plan.csv"), "--report",
                                           Path("report.csv"), "--canary",       "2",
                                           "--json",           Path("c.bin")};
    const ProcessResult run = Upgrade(args);
    EXPECT_EQ(run.exitStatus, 5) << run.err;
    EXPECT_EQ(CommandedAddresses(ReadFileText(Log(0))), std::vector<int>{1});
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(1))), (std::map<int, int>{{10, 1}}));
    EXPECT_EQ(CommandedAddresses(ReadFileText(Log(1))), std::vector<int>{10});
    EXPECT_EQ(Outcomes(ReadFileText(Path("report.csv"))),
              (std::map<int, std::string>{{2, "upgraded"},
                                          {3, "failed: upgrade failed"},
                                          {4, "not tried: canary failed"},
                                          {5, "not tried: canary failed"},
                                          {6, "not tried: canary failed"}}));
    EXPECT_NE(
        run.out.find("{\"schema\":1,\"event\":\"halted\",\"why\":\"canary failed\",\"port\":\"" +
                     m_links[0] + "\",\"address\":1,\"row\":3,\"failed\":1}"),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"address\":11,\"state\":\"not tried\",\"why\":\"canary failed\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.err.find("the rollout halted: the canary, head 1 on " + m_links[0] +
                           " (line 3), was not upgraded; 3 head(s) not tried"),
              std::string::npos)
        << run.err;
    // The table: one line a bus, then all, each count under its heading.
    const std::string pad(m_links[0].size() - 4, ' ');
    EXPECT_NE(run.err.find("port" + pad + "  upgraded  failed  not tried  skipped\n" + m_links[1] +
                           "         1       0          1        0\n" + m_links[0] +
                           "         0       1          2        0\n"),
              std::string::npos)
        << run.err;

    std::vector<std::string> resume = args;
    resume[2] = "--resume";
    const ProcessResult resumed = Upgrade(resume);
    EXPECT_EQ(resumed.exitStatus, 0) << resumed.err;
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(0))), (std::map<int, int>{{1, 1}, {2, 1}, {3, 1}}));
    EXPECT_EQ(DoneByAddress(ReadFileText(Log(1))), (std::map<int, int>{{10, 1}, {11, 1}}));
    EXPECT_NE(resumed.err.find("5 head(s): 4 upgraded, 1 skipped"), std::string::npos)
        << resumed.err;
}

TEST_F(PlanEndToEnd, TheFailureLimitStartsNoNewHeadAndCountsOnlyHeadsThatConnected) {
    // One port at a time: head 2 fails, head 99 is not on the line (no connection: it does not
    // count), head 10 fails and reaches the limit, so head 20 (which would fail) never starts.
    m_links = {StartBus(0, {"--address", "1-2", "--fault-address", "2", "--fail-at", "0"}),
               StartBus(1, {"--address", "10", "--fail-at", "1"}),
               StartBus(2, {"--address", "20", "--fail-at", "0"})};
    WritePlan("port,address,protocol,speed\n" + m_links[0] + ",1,pelco-d,2400\n" + m_links[0] +
              ",2,pelco-d,2400\n" + m_links[1] + ",99,pelco-d,2400\n" + m_links[1] +
              ",10,pelco-d,2400\n" + m_links[2] + ",20,pelco-d,2400\n");
    const ProcessResult run =
        Upgrade({"--plan", Path("plan.csv"), "--report", Path("report.csv"), "--max-failures", "2",
                 "--jobs", "1", "--answer-timeout", "0.5", "-q", Path("c.bin")});
    EXPECT_EQ(run.exitStatus, 5) << run.err;
    EXPECT_TRUE(CommandedAddresses(ReadFileText(Log(2))).empty()) << ReadFileText(Log(2));
    EXPECT_EQ(Outcomes(ReadFileText(Path("report.csv"))),
              (std::map<int, std::string>{{2, "upgraded"},
                                          {3, "failed: upgrade failed"},
                                          {4, "failed: no connection"},
                                          {5, "failed: upgrade failed"},
                                          {6, "not tried: failure limit reached"}}));
    EXPECT_NE(run.err.find("the rollout halted: 2 head(s) failed (--max-failures 2)"),
              std::string::npos)
        << run.err;
}

TEST_F(PlanEndToEnd, RepresentativeRunsTogetherWriteEveryDocumentedEvent) {
    // Head 2 resends its first frame and fails its second, which halts the rollout before head
    // 3; resumed (the faults fire once), head 1 is skipped and heads 2 and 3 upgrade. Every line
    // of every run is checked against the document as each run is; together they write every
    // event it lists.
    const std::string link = StartBus(
        0, {"--address", "1-3", "--fault-address", "2", "--bad-sum-at", "0", "--fail-at", "1"});
    WritePlan("port,address,protocol,speed\n" + link + ",1,pelco-d,2400\n" + link +
              ",2,pelco-d,2400\n" + link + ",3,pelco-d,2400\n");
    const std::vector<std::string> plan = {
        "--plan", Path("plan.csv"), "--report", Path("report.csv"), "--max-failures",
        "1",      "--json",         "-q",       Path("c.bin")};
    std::vector<std::string> resume = plan;
    resume[2] = "--resume";
    struct Run {
        std::vector<std::string> args;
        int exitStatus;
        const char* status;  // the run's result
        const char* holds;   // a text its lines hold
    };
    const std::vector<Run> runs = {
        {plan, 5, "upgrade failed",
         "\"address\":3,\"state\":\"not tried\",\"why\":\"failure limit reached\""},
        {resume, 0, "upgrade complete", "\"address\":1,\"state\":\"skipped\""},
        {{"--port", "sim", "--json", "-q", Path("c.bin")}, 0, "upgrade complete", "\"heads\":["},
        {{"--json", "--port", "sim", "--speed", "1200", Path("c.bin")}, 2, "usage error", "1200"},
        {{"--json", "--port", "sim", Path("none.bin")}, 9, "image unreadable", "none.bin"},
        {{"--json", "--list-ports"}, 0, "ports listed", "\"message\":\"\"}"},
    };
    std::set<std::string> events;
    for (const Run& run : runs) {
        const ProcessResult result = Upgrade(run.args);
        EXPECT_EQ(result.exitStatus, run.exitStatus) << run.args[0] << "\n" << result.err;
        const std::vector<std::string> lines = Lines(result.out);
        ASSERT_FALSE(lines.empty()) << run.args[0] << "\n" << result.err;
        EXPECT_EQ(nlohmann::json::parse(lines.back(), nullptr, false).value("status", ""),
                  run.status)
            << lines.back();
        EXPECT_NE(result.out.find(run.holds), std::string::npos) << result.out;
        const std::set<std::string> written = EventsIn(result.out);
        events.insert(written.begin(), written.end());
    }
    EXPECT_EQ(events, (std::set<std::string>{"connected", "frame", "halted", "result", "resent",
                                             "switched"}));
    EXPECT_EQ(events, DocumentedEvents());
}

}  // namespace
