#include "process_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string_view>
#include <thread>

#include "output_check.h"

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& dir,
                           const std::string& name, const std::vector<std::string>& environment,
                           long long fileSizeLimit)
    : m_argv(argv), m_outPath(dir + "/" + name + ".out"), m_errPath(dir + "/" + name + ".err") {
    // Built before fork: the child of a threaded test may only make async-signal-safe calls.
    std::vector<std::string> settings = environment;
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view inherited(*entry);
        const bool replaced =
            std::any_of(settings.begin(), settings.end(), [&](const std::string& setting) {
                return inherited.substr(0, inherited.find('=') + 1) ==
                       std::string_view(setting).substr(0, setting.find('=') + 1);
            });
        if (!replaced) {
            env.push_back(*entry);
        }
    }
    for (std::string& setting : settings) {
        env.push_back(setting.data());
    }
    env.push_back(nullptr);
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        const int out = open(m_outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(m_errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        // Nothing of the test's own: a pty's far end kept open in the child would hide the
        // port's going away from it.
        close_range(3, ~0U, 0);
        if (fileSizeLimit >= 0) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{static_cast<rlim_t>(fileSizeLimit),
                               static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execve(args[0], args.data(), env.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (ReadFileText(m_outPath).find(text) != std::string::npos) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void ChildProcess::Signal(int signal) const {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, signal);
    }
}

ProcessResult ChildProcess::Wait(int timeoutMs) {
    ProcessResult result;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (m_pid > 0 && !m_reaped) {
        rusage usage{};
        if (wait4(m_pid, &status, WNOHANG, &usage) == m_pid) {
            m_reaped = true;
            result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            result.peakRssKiB = usage.ru_maxrss;  // in KiB on Linux
            break;
        }
        if (std::chrono::steady_clock::now() >= end) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_reaped = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.out = ReadFileText(m_outPath);
    result.err = ReadFileText(m_errPath);
    if (result.exitStatus >= 0) {
        CheckProgramOutput(m_argv, result.out);
    }
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}
