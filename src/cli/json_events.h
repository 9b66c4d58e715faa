// --json: one JSON object per event on stdout, one per line, for machines. The events and their
// fields are listed in docs/json-events.md; every event carries the schema version first.
#pragma once

#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "cli_options.h"
#include "run_context.h"
#include "upgrade_session.h"

// Keys keep the order they are written in, so that each event reads the same every time.
using JsonObject = nlohmann::ordered_json;

// Raised only when an event's fields change in a way a reader of the earlier ones would
// misread; a new optional field does not raise it.
constexpr int kJsonSchemaVersion = 1;

// {"schema":1,"event":"<event>"}, to which the event's fields are added.
JsonObject JsonEvent(const char* event);

// Serialises lines from several ports' threads onto one stream.
class CJsonStream {
  public:
    explicit CJsonStream(std::ostream& out) : m_out(out) {}
    // One line. Names are bytes on POSIX: a byte that is not UTF-8 becomes U+FFFD, so that every
    // line stays valid JSON.
    void Write(const JsonObject& object);

  private:
    std::mutex m_mutex;
    std::ostream& m_out;
};

class CJsonObserver final : public IUpgradeObserver {
  public:
    CJsonObserver(CJsonStream& stream, const RunContext& context)
        : m_stream(stream), m_context(context) {}

    void OnSwitched(std::int32_t baudRate) override;
    void OnConnected(int tries) override;
    void OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) override;
    void OnResent(const FrameInfo& frame, std::uint8_t answer) override;
    void OnResult(const UpgradeResult& result) override;

  private:
    // The event with the port and head it belongs to.
    JsonObject Begin(const char* event) const;

    CJsonStream& m_stream;
    const RunContext& m_context;
};
