#include "port_run.h"

#include <chrono>
#include <memory>
#include <vector>

#include "image_file.h"
#include "port_advice.h"
#include "serial_upgrade_line.h"
#include "upgrade_frame.h"

namespace {

class CFanoutObserver final : public IUpgradeObserver {
  public:
    void Add(IUpgradeObserver* observer) { m_observers.push_back(observer); }

    void OnSent(SentKind kind, const std::uint8_t* bytes, std::size_t length, std::int32_t baudRate,
                const FrameInfo* frame) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnSent(kind, bytes, length, baudRate, frame);
        }
    }
    void OnReceived(std::uint8_t byte, std::int32_t baudRate, bool echo) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnReceived(byte, baudRate, echo);
        }
    }
    void OnSwitched(std::int32_t baudRate) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnSwitched(baudRate);
        }
    }
    void OnConnected(int tries) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnConnected(tries);
        }
    }
    void OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnFrameAccepted(frame, progress);
        }
    }
    void OnResent(const FrameInfo& frame, std::uint8_t answer) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnResent(frame, answer);
        }
    }
    void OnResult(const UpgradeResult& result) override {
        for (IUpgradeObserver* o : m_observers) {
            o->OnResult(result);
        }
    }

  private:
    std::vector<IUpgradeObserver*> m_observers;
};

std::string HeadName(const RunContext& context) {
    return "head " + std::to_string(context.address) + " on " + context.port;
}

}  // namespace

PortOutcome RunPort(const std::string& portPath, RunContext& context, const CliOptions& options,
                    const EventSinks& sinks, const std::atomic<bool>& stop) {
    const auto start = std::chrono::steady_clock::now();
    PortOutcome outcome;
    ImageFile image = OpenImage(options.image);  // each port reads its own stream
    outcome.framesTotal = FrameCount(image.size);
    if (!image.error.empty()) {
        outcome.status = UpgradeStatus::ImageUnreadable;
        outcome.message = image.error;
        return outcome;
    }

    CFanoutObserver fanout;
    std::unique_ptr<CTraceObserver> trace;
    std::unique_ptr<CJsonObserver> json;
    std::unique_ptr<CProgressObserver> progress;
    if (sinks.trace != nullptr) {
        trace = std::make_unique<CTraceObserver>(*sinks.trace, context, options);
        fanout.Add(trace.get());
    }
    if (sinks.json != nullptr) {
        json = std::make_unique<CJsonObserver>(*sinks.json, context, options);
        fanout.Add(json.get());
    }
    if (sinks.progress != nullptr) {
        progress = std::make_unique<CProgressObserver>(*sinks.progress, context);
        fanout.Add(progress.get());
    }

    // A head that holds our output back with XOFF gets as long as it gets to answer.
    CSerialUpgradeLine line(portPath, &stop,
                            options.SessionFor(options.addresses.front()).answerTimeoutMs);
    CSteadyClock clock;
    CUpgradeSession session(line, clock, fanout, stop);
    for (const std::uint8_t address : options.addresses) {
        context.address = address;
        outcome.address = address;
        const UpgradeResult result =
            session.Run(options.SessionFor(address), image.stream.get(), image.size);
        outcome.status = result.status;
        outcome.frameReached = result.frameReached;
        if (result.status != UpgradeStatus::Done) {
            outcome.message = HeadName(context) + ": " + result.message;
            if (result.status == UpgradeStatus::PortFailed) {
                outcome.message += "\n" + PortAdvice(portPath, result.portError);
            }
            break;
        }
        ++outcome.headsUpgraded;
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}
