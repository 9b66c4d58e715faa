// Running the real programs in end-to-end tests: a child with its output captured in files, a
// time limit that kills it rather than let a test hang, and signals.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
    int exitStatus = -1;   // -1 when it had to be killed
    long peakRssKiB = -1;  // the child's largest resident set (rusage), when it was reaped
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // Starts `argv[0]` with the arguments; stdout and stderr go to files under `dir`.
    // `environment` ("NAME=value") is added to the test's own. With `fileSizeLimit` (bytes), a
    // write past it fails with EFBIG (RLIMIT_FSIZE, SIGXFSZ ignored).
    ChildProcess(const std::vector<std::string>& argv, const std::string& dir,
                 const std::string& name, const std::vector<std::string>& environment = {},
                 long long fileSizeLimit = -1);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until stdout holds `text` (true) or the time passes (false).
    bool WaitForOutput(const std::string& text, int timeoutMs) const;
    void Signal(int signal) const;
    // Waits for the end; kills the child after timeoutMs. The output of a child that ended by
    // itself is checked as output_check.h says.
    ProcessResult Wait(int timeoutMs);

  private:
    std::vector<std::string> m_argv;
    pid_t m_pid = -1;
    std::string m_outPath;
    std::string m_errPath;
    bool m_reaped = false;
};

std::string ReadFileText(const std::string& path);
// The lines of a program's output, without their line ends.
std::vector<std::string> Lines(const std::string& text);
