// The window program's frame path through a model of a USB serial adapter: every write
// completes no sooner than 1 ms (one USB frame) after the one before, and no sooner than the
// line at 115200 bit/s can have carried its bytes. Host time per frame over the frame's wire
// time, for the transfer worker's chunked writes and for one-byte writes. Prints figures.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "transfer_worker.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr double kByteWireUs = 10 * 1e6 / 115200;
constexpr std::size_t kFrameBytes = 4107;
constexpr double kWireMsPerFrame = kFrameBytes * kByteWireUs / 1000;

class UsbAdapterModel : public ITransferHost {
  public:
    explicit UsbAdapterModel(bool oneByteWrites) : m_oneByte(oneByteWrites) {}

    std::size_t SendHexText(const std::string& text) override {
        std::array<std::uint8_t, 4096> bytes{};
        const std::size_t n = CSerialLink::DecodeHexText(text, bytes.data(), bytes.size());
        // The old road: one write per byte, as the hex text of each byte went out alone.
        const std::size_t writes = m_oneByte ? n : 1;
        for (std::size_t w = 0; w < writes; ++w) {
            const std::size_t count = m_oneByte ? 1 : n;
            const auto now = Clock::now();
            const auto start = std::max(now, m_lineFreeAt);
            m_lineFreeAt =
                start + std::chrono::microseconds(static_cast<long long>(count * kByteWireUs));
            const auto done = std::max(m_lastDone + std::chrono::milliseconds(1), now);
            m_lastDone = done;
            std::this_thread::sleep_until(done);
        }
        return n;
    }
    void SentCountChanged() override {}
    void TransferEnded(TransferEnd /*why*/) override {}
    // The line has carried every byte written so far.
    void WaitForLine() { std::this_thread::sleep_until(m_lineFreeAt); }

  private:
    bool m_oneByte;
    Clock::time_point m_lineFreeAt = Clock::now();
    Clock::time_point m_lastDone = Clock::now();
};

double MsPerFrame(bool oneByteWrites, int frames) {
    std::FILE* image = std::tmpfile();
    const std::vector<char> bytes(static_cast<std::size_t>(frames) * 4096, 'x');
    std::fwrite(bytes.data(), 1, bytes.size(), image);
    TransferState state;
    state.g_bPortOpen = 1;
    state.g_pImage = image;
    state.g_nImageSize = static_cast<std::int32_t>(bytes.size());
    state.g_bGoAhead = 1;
    std::mutex imageLock;
    UsbAdapterModel adapter(oneByteWrites);
    CTransferWorker worker(state, adapter, imageLock, 115200);
    const auto started = Clock::now();
    (void)worker.Run();
    for (int frame = 0; frame < frames; ++frame) {
        const std::int32_t sentBefore = static_cast<std::int32_t>(frame) * 4107;
        while (state.g_bGoAhead != 0 || state.g_nSentCount < sentBefore + 4107) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        adapter.WaitForLine();  // the head answers once the last byte is on the line
        state.g_bGoAhead = 1;
        worker.SendNextFrame();
    }
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    worker.Stop();
    worker.Join();
    state.g_pImage = nullptr;
    std::fclose(image);
    return ms / frames;
}
}  // namespace

int main() {
    const double chunked = MsPerFrame(false, 16);
    const double oneByte = MsPerFrame(true, 2);
    std::printf("window program, frame path through a USB adapter model (1 ms per write)\n");
    std::printf("  wire time per frame:            %.1f ms at 115200 bit/s\n", kWireMsPerFrame);
    std::printf(
        "  four writes per frame:          %.1f ms per frame, %.3f of the wire time "
        "(target: at most 1.02)\n",
        chunked, chunked / kWireMsPerFrame);
    std::printf("  one write per byte (before):    %.1f ms per frame, %.3f of the wire time\n",
                oneByte, oneByte / kWireMsPerFrame);
    return 0;
}
