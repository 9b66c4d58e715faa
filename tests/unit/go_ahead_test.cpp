// The hand-over between the window thread and the transfer worker: a release given at any
// moment after the worker marked itself waiting is never lost, and never reaches an old worker.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "go_ahead.h"
#include "transfer_worker.h"

TEST(GoAhead, ReleaseBeforeTheWaitIsKeptAndCountsOnce) {
    CGoAhead goAhead;
    goAhead.Release();
    goAhead.Release();
    EXPECT_TRUE(goAhead.Wait());
    std::atomic<bool> passed{false};
    std::thread waiter([&] { passed = goAhead.Wait(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(passed) << "two releases before one wait passed two waits";
    goAhead.Cancel();
    waiter.join();
    EXPECT_FALSE(passed);
    // A cancel wins over a release still pending: a stopped worker sends no further frame.
    CGoAhead stopped;
    stopped.Release();
    stopped.Cancel();
    EXPECT_FALSE(stopped.Wait());
}

namespace {
// A port that takes every byte, and a window that releases the worker the moment it sees
// g_bGoAhead cleared: exactly the gap between the worker's clearing and its wait.
class CountingHost : public ITransferHost {
  public:
    std::size_t SendHexText(const std::string& text) override {
        std::array<std::uint8_t, 4096> decoded{};
        const std::size_t n = CSerialLink::DecodeHexText(text, decoded.data(), decoded.size());
        bytes.fetch_add(static_cast<long>(n));
        return n;
    }
    void SentCountChanged() override {}
    void TransferEnded(TransferEnd /*why*/) override { ended = true; }
    std::atomic<long> bytes{0};
    std::atomic<bool> ended{false};
};

struct ImageFile {
    ImageFile() : file(std::tmpfile()) {
        for (int i = 0; i < 4096 * 4; ++i) {
            std::fputc(i & 0xFF, file);
        }
    }
    ~ImageFile() { std::fclose(file); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    std::FILE* file;
};
}  // namespace

TEST(GoAhead, ReleaseRacingTheWorkersWaitIsNeverLostAndNeverReachesAnOldWorker) {
    constexpr int kFrames = 120;
    ImageFile image;
    TransferState state;
    state.g_bPortOpen = 1;
    state.g_pImage = image.file;
    state.g_nImageSize = 4096 * 4;
    std::mutex imageLock;
    CountingHost oldHost;
    CountingHost host;

    // An earlier worker, ended as the window ends it before a new start.
    auto old = std::make_shared<CTransferWorker>(state, oldHost, imageLock, 115200);
    state.g_bGoAhead = 1;
    ASSERT_TRUE(old->Run());
    while (state.g_bGoAhead != 0) {
        std::this_thread::yield();
    }
    old->Stop();
    old->Join();
    const long oldBytes = oldHost.bytes;

    state.g_nOffset = 0;
    auto worker = std::make_shared<CTransferWorker>(state, host, imageLock, 115200);
    state.g_bGoAhead = 1;
    ASSERT_TRUE(worker->Run());
    for (int frame = 0; frame < kFrames; ++frame) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (state.g_bGoAhead != 0) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "worker stuck at " << frame;
            std::this_thread::yield();
        }
        // Back to the first block each time, as a resend does.
        state.g_nOffset = 0;
        state.g_bGoAhead = 1;
        worker->ResendFrame();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (state.g_bGoAhead != 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "a release was lost";
        std::this_thread::yield();
    }
    worker->Stop();
    worker->Join();
    EXPECT_EQ(host.bytes, static_cast<long>(kFrames + 1) * 4107);
    EXPECT_EQ(oldHost.bytes, oldBytes) << "an old worker was released";
    EXPECT_FALSE(host.ended);
    state.g_pImage = nullptr;
}
