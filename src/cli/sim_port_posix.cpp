// The simulated head on a pty, on POSIX.
#include <sstream>

#include "head_simulator.h"
#include "sim_port.h"

namespace {

constexpr int kSimLineRate = 115200;

class CPtySimPort final : public CSimPort {
  public:
    explicit CPtySimPort(const SimHeadSettings& settings) : m_head(ToOptions(settings)) {}
    ~CPtySimPort() override { m_head.Stop(); }
    CPtySimPort(const CPtySimPort&) = delete;
    CPtySimPort& operator=(const CPtySimPort&) = delete;

    bool Start(std::string& error) { return m_head.Start(error); }
    const std::string& Path() const override { return m_head.SlavePath(); }

    std::string Report() const override {
        const HeadSimSummary s = m_head.Summary();
        std::ostringstream text;
        text << "simulated head received " << s.commandsAccepted << " upgrade-mode command(s)";
        if (s.commandBaud != 0) {
            text << " at " << s.commandBaud << " bit/s";
        }
        text << ", " << s.connects << " connection check(s), " << s.framesReceived << " frame(s)";
        if (s.frameBaud != 0) {
            text << " at " << s.frameBaud << " bit/s";
        }
        text << " (" << s.framesAccepted << " accepted, " << s.badSums << " bad sums, " << s.resends
             << " resent), " << s.imageBytes << " image bytes; " << s.upgradesCompleted
             << " upgrade(s) completed";
        if (!s.error.empty()) {
            text << "; " << s.error;
        }
        return text.str();
    }

  private:
    static HeadSimOptions ToOptions(const SimHeadSettings& settings) {
        HeadSimOptions options;
        options.address = settings.addresses.front();
        options.moreAddresses.assign(settings.addresses.begin() + 1, settings.addresses.end());
        options.pelcoP = settings.pelcoP;
        options.speed = settings.speed;
        options.noCommand = settings.noCommand;
        options.echo = settings.echo;
        // Read at the transfer line rate, so the progress shows what a real head takes.
        options.paceBaud = kSimLineRate;
        return options;
    }

    HeadSimulator m_head;
};

}  // namespace

std::unique_ptr<CSimPort> StartSimPort(const SimHeadSettings& settings, std::string& error) {
    auto port = std::make_unique<CPtySimPort>(settings);
    if (!port->Start(error)) {
        error = "Failed to start the simulated head: " + error;
        return nullptr;
    }
    return port;
}
