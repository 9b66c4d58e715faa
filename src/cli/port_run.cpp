#include "port_run.h"

#include <chrono>
#include <memory>
#include <vector>

#include "head_answer.h"
#include "network_port_name.h"
#include "port_advice.h"
#include "port_identity.h"
#include "port_list.h"
#include "result_text.h"
#include "serial_upgrade_line.h"
#include "upgrade_frame.h"

namespace {

class CFanoutObserver : public IUpgradeObserver {
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

// A session's events to every sink the run has.
class CSinkObservers final : public CFanoutObserver {
  public:
    CSinkObservers(const EventSinks& sinks, const RunContext& context) {
        if (sinks.trace != nullptr) {
            m_trace = std::make_unique<CTraceObserver>(*sinks.trace, context);
            Add(m_trace.get());
        }
        if (sinks.json != nullptr) {
            m_json = std::make_unique<CJsonObserver>(*sinks.json, context);
            Add(m_json.get());
        }
        if (sinks.progress != nullptr) {
            m_progress = std::make_unique<CProgressObserver>(*sinks.progress, context);
            Add(m_progress.get());
        }
    }

  private:
    std::unique_ptr<CTraceObserver> m_trace;
    std::unique_ptr<CJsonObserver> m_json;
    std::unique_ptr<CProgressObserver> m_progress;
};

std::string HeadName(const RunContext& context) {
    return "head " + std::to_string(context.address) + " on " + context.port;
}

// The first head's result when the port could not be held: it failed to open, as the session
// would have said.
UpgradeResult HoldRefused(const UpgradeSessionOptions& session, const std::string& error) {
    UpgradeResult result;
    result.status = UpgradeStatus::PortFailed;
    result.stage = session.switchMode ? SessionStage::Command : SessionStage::ConnectionCheck;
    result.portAction = PortAction::Open;
    result.portError = PortError{PortErrorKind::Busy, error};
    result.baudRate = session.switchMode ? session.controlBaudRate : kTransferBaudRate;
    result.answerTimeoutMs = session.answerTimeoutMs;
    return result;
}

// What a USB adapter is and how long it holds answers, at the start of the trace.
void TraceAdapter(const EventSinks& sinks, const RunContext& context, const std::string& portPath,
                  const std::vector<BusHead>& heads) {
    if (sinks.trace != nullptr && !heads.empty() && !IsNetworkPortName(portPath)) {
        const UpgradeSessionOptions& first = heads.front().session;
        sinks.trace->Line(context.port,
                          first.switchMode ? first.controlBaudRate : kTransferBaudRate,
                          AdapterTraceText(DescribeSerialPort(portPath)));
    }
}

void SetContext(RunContext& context, const BusHead& head) {
    context.address = head.session.address;
    context.protocolName = head.protocolName;
    context.row = head.row;
    context.label = head.label;
}

// The head's end as the session told it.
void KeepResult(HeadOutcome& head, const UpgradeResult& result, const RunContext& context,
                const std::string& portPath) {
    head.ended = std::chrono::system_clock::now();
    head.status = result.status;
    head.connected = result.stage == SessionStage::Frames;
    head.framesAccepted = result.framesAccepted;
    head.resends = result.resends;
    if (result.status == UpgradeStatus::Done) {
        head.state = HeadState::Upgraded;
        return;
    }
    head.state = HeadState::Failed;
    head.message = HeadName(context) + ": " + DescribeResult(result);
    if (result.status == UpgradeStatus::PortFailed) {
        head.message += "\n" + PortAdvice(portPath, result.portError);
    }
}

}  // namespace

bool BatchGoesOnAfter(UpgradeStatus status) {
    return status == UpgradeStatus::NoConnection;
}

std::string DescribeHeads(const std::vector<HeadOutcome>& heads) {
    std::string text;
    for (const HeadOutcome& head : heads) {
        text += text.empty() ? "" : ", ";
        text += "head " + std::to_string(head.address);
        switch (head.state) {
            case HeadState::Upgraded:
                text += " upgraded";
                break;
            case HeadState::Failed:
                text += std::string(" failed (") + DescribeStatus(head.status) + ")";
                break;
            case HeadState::NotTried:
                text += " not tried";
                text += head.notTriedWhy.empty() ? "" : " (" + head.notTriedWhy + ")";
                break;
        }
    }
    return text;
}

PortOutcome RunBus(const std::string& portPath, RunContext& context,
                   const std::vector<BusHead>& heads, const EventSinks& sinks,
                   const std::atomic<bool>& stop, const HeadEndedFn& onHeadEnded) {
    const auto start = std::chrono::steady_clock::now();
    PortOutcome outcome;
    outcome.heads.resize(heads.size());
    for (std::size_t i = 0; i < heads.size(); ++i) {
        outcome.heads[i].address = heads[i].session.address;
    }

    CSinkObservers fanout(sinks, context);

    TraceAdapter(sinks, context, portPath, heads);
    // A head that holds our output back with XOFF gets as long as it gets to answer.
    CSerialUpgradeLine line(
        portPath, &stop,
        heads.empty() ? session::kDefaultAnswerTimeoutMs : heads.front().session.answerTimeoutMs);
    CSteadyClock clock;
    CUpgradeSession session(line, clock, fanout, stop);
    CPortHold hold;
    std::string holdError;
    const bool held = hold.Take(portPath, holdError);
    std::size_t ended = 0;
    for (; ended < heads.size(); ++ended) {
        const BusHead& bus = heads[ended];
        HeadOutcome& head = outcome.heads[ended];
        SetContext(context, bus);
        outcome.framesTotal = FrameCount(static_cast<std::int64_t>(bus.image->size()));
        head.started = std::chrono::system_clock::now();
        const UpgradeResult result =
            held ? session.Run(bus.session, *bus.image) : HoldRefused(bus.session, holdError);
        if (!held) {
            fanout.OnResult(result);
        }
        KeepResult(head, result, context, portPath);
        const bool upgraded = head.state == HeadState::Upgraded;
        outcome.headsUpgraded += upgraded ? 1 : 0;
        const bool goOn = !onHeadEnded || onHeadEnded(ended, head);
        if (!upgraded &&
            (outcome.status == UpgradeStatus::Done || result.status == UpgradeStatus::Stopped)) {
            outcome.status = result.status;
            outcome.message = head.message;
            outcome.address = head.address;
            outcome.frameReached = result.frameReached;
        }
        if (!goOn || (!upgraded && !BatchGoesOnAfter(result.status))) {
            ++ended;
            break;
        }
    }
    for (; ended < heads.size() && onHeadEnded; ++ended) {
        onHeadEnded(ended, outcome.heads[ended]);
    }
    if (outcome.status == UpgradeStatus::Done && !outcome.heads.empty()) {
        outcome.address = outcome.heads.back().address;
    }
    outcome.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return outcome;
}

PortOutcome RunPort(const std::string& portPath, RunContext& context, const CliOptions& options,
                    const std::vector<std::uint8_t>& image, const EventSinks& sinks,
                    const std::atomic<bool>& stop) {
    std::vector<BusHead> heads;
    for (const std::uint8_t address : options.addresses) {
        BusHead head;
        head.session = options.SessionFor(address);
        head.image = &image;
        head.protocolName = options.protocolName;
        heads.push_back(head);
    }
    return RunBus(portPath, context, heads, sinks, stop);
}
