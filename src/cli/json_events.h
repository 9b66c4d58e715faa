// --json: one JSON object per event on stdout, one per line, for machines.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "cli_options.h"
#include "run_context.h"
#include "upgrade_session.h"

// Serialises lines from several ports' threads onto one stream.
class CJsonStream {
  public:
    explicit CJsonStream(std::ostream& out) : m_out(out) {}
    void Write(const std::string& object);

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
    std::string Begin(const char* event) const;

    CJsonStream& m_stream;
    const RunContext& m_context;
};

// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
