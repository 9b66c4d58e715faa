#include "json_events.h"

#include "exit_status.h"
#include "result_text.h"

JsonObject JsonEvent(const char* event) {
    return JsonObject{{"schema", kJsonSchemaVersion}, {"event", event}};
}

void CJsonStream::Write(const JsonObject& object) {
    const std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_out << line << '\n';
    m_out.flush();
}

JsonObject CJsonObserver::Begin(const char* event) const {
    JsonObject object = JsonEvent(event);
    object["port"] = m_context.port;
    object["address"] = m_context.address;
    if (m_context.row > 0) {
        object["row"] = m_context.row;
        object["label"] = m_context.label;
    }
    return object;
}

void CJsonObserver::OnSwitched(std::int32_t baudRate) {
    JsonObject event = Begin("switched");
    event["protocol"] = m_context.protocolName;
    event["speed"] = baudRate;
    m_stream.Write(event);
}

void CJsonObserver::OnConnected(int tries) {
    JsonObject event = Begin("connected");
    event["tries"] = tries;
    m_stream.Write(event);
}

void CJsonObserver::OnFrameAccepted(const FrameInfo& frame, const UpgradeProgress& progress) {
    JsonObject event = Begin("frame");
    event["index"] = frame.index;
    event["load_address"] = frame.loadAddress;
    event["last"] = frame.lastBlock;
    event["sum"] = frame.sum;
    event["frames_done"] = progress.framesAccepted;
    event["frames_total"] = progress.framesTotal;
    event["bytes_sent"] = progress.bytesSent;
    event["bytes_extra"] = progress.bytesExtra;
    event["bytes_total"] = progress.bytesTotal;
    m_stream.Write(event);
}

void CJsonObserver::OnResent(const FrameInfo& frame, std::uint8_t answer) {
    JsonObject event = Begin("resent");
    event["index"] = frame.index;
    event["load_address"] = frame.loadAddress;
    event["answer"] = answer;
    event["attempt"] = frame.attempt;
    m_stream.Write(event);
}

void CJsonObserver::OnResult(const UpgradeResult& result) {
    JsonObject event = Begin("result");
    event["status"] = DescribeStatus(result.status);
    event["exit"] = ExitStatusOf(result.status);
    event["frame"] = result.frameReached;
    event["resends"] = result.resends;
    event["message"] = DescribeResult(result);
    m_stream.Write(event);
}
