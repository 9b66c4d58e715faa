// The receive worker against a pseudo-terminal, posting to a recording window.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "control_ids.h"
#include "port_chunk.h"
#include "post_only_window.h"
#include "pty_pair.h"
#include "receive_worker.h"

namespace {

using namespace std::chrono_literals;

// A window that only records the chunks posted to it (taking ownership as the handler does).
class RecordingWindow : public PostOnlyWindow {
  public:
    explicit RecordingWindow(bool acceptPosts = true) : m_acceptPosts(acceptPosts) {}

    bool Post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
        if (!m_acceptPosts) {
            return false;
        }
        if (message == static_cast<unsigned>(WM_PORT_LOST)) {
            ++m_lost;
            return true;
        }
        EXPECT_EQ(message, static_cast<unsigned>(WM_PORT_DATA));
        const auto chunk = TakePortChunk(wParam);
        EXPECT_EQ(static_cast<std::size_t>(lParam), chunk->bytes.size());
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_chunks.push_back(chunk->bytes);
        m_changed.notify_all();
        return true;
    }

    // Waits until the chunks hold `count` bytes in all (or the time is up); returns them.
    std::vector<std::vector<std::uint8_t>> WaitForBytes(std::size_t count,
                                                        std::chrono::milliseconds limit = 2s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, limit, [&] { return Total() >= count; });
        return m_chunks;
    }

    std::vector<std::vector<std::uint8_t>> Chunks() {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_chunks;
    }

    int LostPosts() const { return m_lost; }

  private:
    std::size_t Total() const {
        std::size_t total = 0;
        for (const auto& chunk : m_chunks) {
            total += chunk.size();
        }
        return total;
    }

    const bool m_acceptPosts;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::vector<std::uint8_t>> m_chunks;
    std::atomic<int> m_lost{0};
};

class ReceiveWorkerPty : public ::testing::Test {
  protected:
    PortHandle OpenPort() {
        link.SetParams(pty.Path(), 115200, 8, 0, 0);
        const PortHandle handle = link.Open();
        EXPECT_NE(handle, kInvalidPortHandle) << link.LastError().message;
        EXPECT_TRUE(link.Configure(handle)) << link.LastError().message;
        return handle;
    }

    PtyPair pty;
    CSerialLink link;
    RecordingWindow window;
};

using Chunks = std::vector<std::vector<std::uint8_t>>;

std::optional<int> ResultWithin(const CReceiveWorker& worker, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!worker.Result() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return worker.Result();
}

TEST_F(ReceiveWorkerPty, PostsEachArrivalAsOneChunk) {
    CPortSession session(link, OpenPort());
    ASSERT_TRUE(session.StartReceiving(window));

    pty.Send({0x82});
    EXPECT_EQ(window.WaitForBytes(1), Chunks({{0x82}}));

    pty.Send({0x81, 0x84});
    EXPECT_EQ(window.WaitForBytes(3), Chunks({{0x82}, {0x81, 0x84}}));

    session.Close();
    EXPECT_FALSE(session.IsOpen());
}

TEST_F(ReceiveWorkerPty, LongStreamArrivesWholeInChunksOfAtMostOneBlock) {
    CPortSession session(link, OpenPort());
    ASSERT_TRUE(session.StartReceiving(window));
    const auto sent = PlainBytes(20000);
    for (std::size_t at = 0; at < sent.size(); at += 2500) {
        pty.Send(
            {sent.begin() + static_cast<long>(at), sent.begin() + static_cast<long>(at + 2500)});
    }
    std::vector<std::uint8_t> got;
    for (const auto& chunk : window.WaitForBytes(sent.size(), 5s)) {
        EXPECT_GE(chunk.size(), 1U);
        EXPECT_LE(chunk.size(), CSerialLink::kMaxChunk);
        got.insert(got.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(got, sent);
}

TEST_F(ReceiveWorkerPty, StopEndsTheWorkerWithZeroAndIsIdempotent) {
    const PortHandle handle = OpenPort();
    auto worker = CReceiveWorker::Start(link, handle, window);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(worker->Handle(), handle);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(worker->Result().has_value());
    worker->Stop();
    EXPECT_EQ(worker->Result(), 0);
    worker->Stop();
    EXPECT_EQ(worker->Result(), 0);
    EXPECT_EQ(window.LostPosts(), 0);
    link.Close(handle);
}

TEST_F(ReceiveWorkerPty, EndsWithMinusOneWhenThePortVanishes) {
    const PortHandle handle = OpenPort();
    auto worker = CReceiveWorker::Start(link, handle, window);
    ASSERT_NE(worker, nullptr);
    pty.CloseMaster();
    EXPECT_EQ(ResultWithin(*worker, 2s), -1);
    worker->Stop();
    EXPECT_EQ(worker->Result(), -1);
    EXPECT_EQ(window.LostPosts(), 1) << "the window is told the port went away";
    link.Close(handle);
}

TEST_F(ReceiveWorkerPty, EndsWithMinusOneWhenTheWindowRefusesAChunk) {
    RecordingWindow gone(false);
    const PortHandle handle = OpenPort();
    auto worker = CReceiveWorker::Start(link, handle, gone);
    ASSERT_NE(worker, nullptr);
    pty.Send({0x82});
    EXPECT_EQ(ResultWithin(*worker, 2s), -1);
    worker->Stop();
    link.Close(handle);
}

// Closing and reopening, as the port button and the upgrade-mode switch do: the old worker has
// ended before its handle is closed, and only the new one serves the new opening.
TEST_F(ReceiveWorkerPty, ReopenedPortIsServedOnlyByItsNewWorker) {
    auto old = std::make_unique<RecordingWindow>();
    auto session = std::make_unique<CPortSession>(link, OpenPort());
    ASSERT_TRUE(session->StartReceiving(*old));
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NE(session->Worker(), nullptr);
        session->Close();
        const Chunks oldChunks = old->Chunks();

        auto fresh = std::make_unique<RecordingWindow>();
        auto next = std::make_unique<CPortSession>(link, OpenPort());
        ASSERT_TRUE(next->StartReceiving(*fresh));
        const auto byte = static_cast<std::uint8_t>('A' + round % 26);
        pty.Send({byte});
        ASSERT_EQ(fresh->WaitForBytes(1), Chunks({{byte}}));
        std::this_thread::sleep_for(1ms);
        EXPECT_EQ(old->Chunks(), oldChunks);

        session = std::move(next);
        old = std::move(fresh);
    }
}

// A cancel left over from a worker that ended before it waited (or given with no wait at all)
// must not end the next worker on the same opening at once.
TEST_F(ReceiveWorkerPty, RestartedWorkerIsNotEndedByAnEarlierCancel) {
    CPortSession session(link, OpenPort());
    link.CancelWait(session.Handle());
    ASSERT_TRUE(session.StartReceiving(window));
    pty.Send({0x80});
    EXPECT_EQ(window.WaitForBytes(1), Chunks({{0x80}}));

    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(session.StartReceiving(window));
        ASSERT_TRUE(session.StartReceiving(window));
        const auto byte = static_cast<std::uint8_t>('A' + round % 26);
        pty.Send({byte});
        const auto chunks = window.WaitForBytes(2 + static_cast<std::size_t>(round));
        ASSERT_EQ(chunks.size(), 2U + static_cast<std::size_t>(round));
        EXPECT_EQ(chunks.back(), std::vector<std::uint8_t>{byte});
        EXPECT_FALSE(session.Worker()->Result().has_value());
    }
}

}  // namespace
