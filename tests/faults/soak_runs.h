// One upgrade of the soak through each front end, against a fresh ptz-headsim: ptz-upgrade as
// a child process, and one long-lived window on the headless backend that the soak operates as
// a technician would, head after head.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "soak_faults.h"

class ChildProcess;
class CHeadlessDesktop;
class CUpgradeDlg;

namespace soak {

struct Outcome {
    End end = End::Other;
    bool successClaimed = false;
    std::vector<std::uint8_t> received;  // what the head wrote (padded blocks)
    long peakKiB = 0;                    // ptz-upgrade's peak memory (0 for the window)
    std::string detail;
};

struct Programs {
    std::string upgrade;
    std::string headsim;
    std::string dir;  // a private folder: the image, the head's link and its output
};

// ptz-headsim for one upgrade, its link published as `dir`/com1.
class SimulatedHead {
  public:
    SimulatedHead(const Programs& programs, const std::vector<std::string>& args);
    ~SimulatedHead();
    SimulatedHead(const SimulatedHead&) = delete;
    SimulatedHead& operator=(const SimulatedHead&) = delete;

    bool Started() const { return m_started; }
    std::string Link() const;
    // Stops the head; the image it wrote.
    std::vector<std::uint8_t> Received();

  private:
    const Programs& m_programs;
    std::unique_ptr<ChildProcess> m_process;
    std::string m_name;
    bool m_started = false;
};

Outcome RunCommandLine(const Programs& programs, const Draw& draw);

class WindowOperator {
  public:
    explicit WindowOperator(const Programs& programs);
    ~WindowOperator();
    WindowOperator(const WindowOperator&) = delete;
    WindowOperator& operator=(const WindowOperator&) = delete;

    Outcome Run(const Draw& draw);

  private:
    // Closes and opens the port, so the window has the new head's pty.
    bool OpenFreshPort(std::string& why);
    bool ChooseImage(const std::string& path, std::string& why);
    End AwaitEnd(std::string& detail);
    bool WorkerGone();

    const Programs& m_programs;
    std::unique_ptr<CHeadlessDesktop> m_desktop;
    std::unique_ptr<CUpgradeDlg> m_dialog;
};

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image);
void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace soak
