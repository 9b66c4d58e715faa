// ptz-headsim run as scripts run it: the link path on stdout, clean stops, --once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "head_line.h"

extern char** environ;

namespace {
class Program {
  public:
    explicit Program(std::vector<std::string> args) {
        args.insert(args.begin(), PTZ_HEADSIM_PROGRAM);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        EXPECT_EQ(posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_stdout = fdopen(out[0], "r");
    }
    ~Program() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            Wait();
        }
        if (m_stdout != nullptr) {
            std::fclose(m_stdout);
        }
    }
    std::string FirstLine() {
        char line[512] = {};
        return std::fgets(line, sizeof line, m_stdout) != nullptr ? line : "";
    }
    void Signal(int signal) { kill(m_pid, signal); }
    bool Exited() const {
        siginfo_t info{};  // left for Wait to collect
        return waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == m_pid;
    }
    int Wait() {
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

  private:
    pid_t m_pid = -1;
    std::FILE* m_stdout = nullptr;
};

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}
}  // namespace

TEST_F(HeadLine, ProgramPrintsItsLinkAndStopsCleanlyOnSigintAndSigterm) {
    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string link = m_dir + "/head";
        Program program({"--link", link, "--address", "7"});
        EXPECT_EQ(program.FirstLine(), link + "\n");
        EXPECT_TRUE(Exists(link));
        program.Signal(signal);
        EXPECT_EQ(program.Wait(), 0) << "signal " << signal;
        EXPECT_FALSE(Exists(link)) << "signal " << signal;
    }
}

TEST_F(HeadLine, ProgramWithOnceExitsAfterTheUpgradeWithItsImageWritten) {
    const std::string link = m_dir + "/head";
    Program program({"--link", link, "--no-command", "--once", "--out", m_outPath});
    ASSERT_EQ(program.FirstLine(), link + "\n");
    m_fd = open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(m_fd, 0);
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
    SetSpeed(B115200);
    Send({0x3F, 0x3F});
    ASSERT_EQ(Receive(1), Bytes{0x80});
    const Bytes image = ImageOf(4096, 1);
    EXPECT_EQ(Upload(image), Bytes{0x84});
    // A loaded loader may look at the port again well after the last answer: the head stays
    // until the port is closed, or the loader would find it gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(program.Exited());
    pollfd hangUp{m_fd, 0, 0};
    EXPECT_EQ(poll(&hangUp, 1, 0), 0) << "the pty hung up before the loader closed it";
    ClosePort();
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(ReadFile(m_outPath), std::string(image.begin(), image.end()));
    EXPECT_FALSE(Exists(link));
}

TEST_F(HeadLine, ProgramRefusesBadArguments) {
    Program badAddress({"--link", m_dir + "/head", "--address", "0"});
    EXPECT_EQ(badAddress.Wait(), 2);
    Program badList({"--link", m_dir + "/head", "--address", "1,,4"});
    EXPECT_EQ(badList.Wait(), 2);
    Program noLink({"--once"});
    EXPECT_EQ(noLink.Wait(), 2);
    Program badProtocol({"--link", m_dir + "/head", "--protocol", "visca"});
    EXPECT_EQ(badProtocol.Wait(), 2);
}
