// The window program's transfer worker against a scripted port: every frame it sends is the
// frame of its block, in at most four writes, marked waiting before the last one; a write cut
// short counts only what went out and ends it; a stop ends it between writes; and an answer is
// judged by when it arrived against the frame's hand-over: its last chunk handed to the port,
// and its wire time (4107 bytes at 115200 bit/s: 356.5 ms) passed since its first chunk was.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "expected_frame.h"
#include "transfer_worker.h"

namespace {
using Clock = std::chrono::steady_clock;

struct Write {
    Bytes bytes;
    std::int32_t goAhead;  // g_bGoAhead as the write began
};

class ScriptedPort : public ITransferHost {
  public:
    explicit ScriptedPort(TransferState& state) : m_state(state) {}

    std::size_t SendHexText(const std::string& text) override {
        std::array<std::uint8_t, 4096> decoded{};
        const std::size_t n = CSerialLink::DecodeHexText(text, decoded.data(), decoded.size());
        std::size_t call = 0;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            call = writes.size();
            writes.push_back({Bytes(decoded.begin(), decoded.begin() + n), m_state.g_bGoAhead});
        }
        if (onWrite) {
            onWrite(call);
        }
        const auto cut = cutShort.find(call);
        return cut == cutShort.end() ? n : cut->second;
    }
    // After each write has returned: what the write did is visible once this is counted.
    void SentCountChanged() override { ++written; }
    void TransferEnded(TransferEnd why) override { ended.push_back(why); }

    std::vector<Write> Writes() {
        const std::lock_guard<std::mutex> lock(mutex);
        return writes;
    }

    std::mutex mutex;
    std::vector<Write> writes;
    std::map<std::size_t, std::size_t> cutShort;  // write n returns this many bytes
    std::function<void(std::size_t)> onWrite;
    std::vector<TransferEnd> ended;
    std::atomic<std::size_t> written{0};

  private:
    TransferState& m_state;
};

class TransferWorkerTest : public ::testing::Test {
  protected:
    void Start(const Bytes& bytes) {
        image = bytes;
        file = std::tmpfile();
        std::fwrite(image.data(), 1, image.size(), file);
        state.g_bPortOpen = 1;
        state.g_pImage = file;
        state.g_nImageSize = static_cast<std::int32_t>(image.size());
        state.g_bGoAhead = 1;
        worker = std::make_unique<CTransferWorker>(state, port, imageLock, 115200);
        ASSERT_TRUE(worker->Run());
    }

    void TearDown() override {
        if (worker) {
            worker->Stop();
            worker->Join();
        }
        state.g_pImage = nullptr;
        if (file != nullptr) {
            std::fclose(file);
        }
    }

    // Waits until the worker waits for an answer after `writes` writes in all.
    bool WaitForAnswerWait(std::size_t writes) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (state.g_bGoAhead != 0 || port.written < writes) {
            if (Clock::now() > deadline || worker->Ended()) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // As the window does on an answer: accepted, or the same block again.
    void Accept() {
        state.g_bGoAhead = 1;
        worker->SendNextFrame();
    }
    void ResendLast() {
        state.g_nOffset = state.g_nOffset - state.g_nBlockLen;
        state.g_bGoAhead = 1;
        worker->ResendFrame();
    }

    Bytes image;
    std::FILE* file = nullptr;
    TransferState state;
    std::mutex imageLock;
    ScriptedPort port{state};
    std::unique_ptr<CTransferWorker> worker;
};

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 13 + i / 4096);
    }
    return bytes;
}

TEST_F(TransferWorkerTest, EveryFrameIsItsBlockInFourWritesMarkedWaitingBeforeTheLast) {
    // Nine frames, the fourth and the short last one damaged once each, then the fill frame.
    Start(Pattern(8 * 4096 + 100));
    std::vector<std::size_t> offsets;
    std::size_t writes = 0;
    for (std::size_t block = 0; block < 9; ++block) {
        offsets.push_back(block * 4096);
        ASSERT_TRUE(WaitForAnswerWait(writes += 4)) << "frame " << block;
        if (block == 3 || block == 8) {
            offsets.push_back(block * 4096);
            ResendLast();
            ASSERT_TRUE(WaitForAnswerWait(writes += 4)) << "resend of frame " << block;
        }
        Accept();
    }
    offsets.push_back(8 * 4096 + 100);  // the fill frame after the accepted last block
    ASSERT_TRUE(WaitForAnswerWait(writes += 4));

    const std::vector<Write> sent = port.Writes();
    ASSERT_EQ(sent.size(), offsets.size() * 4);
    for (std::size_t f = 0; f < offsets.size(); ++f) {
        Bytes frame;
        for (std::size_t w = 0; w < 4; ++w) {
            const Write& write = sent[f * 4 + w];
            EXPECT_EQ(write.bytes.size(), w < 3 ? 1365U : 12U);
            EXPECT_EQ(write.goAhead, w < 3 ? 1 : 0) << "frame " << f << " write " << w;
            frame.insert(frame.end(), write.bytes.begin(), write.bytes.end());
        }
        EXPECT_EQ(frame, ExpectedFrame(image, offsets[f])) << "frame " << f;
    }
    EXPECT_EQ(state.g_nSentCount.load(), static_cast<std::int32_t>(offsets.size() * 4107));
    EXPECT_TRUE(port.ended.empty());
}

TEST_F(TransferWorkerTest, AChunkCutShortCountsWhatWentOutAndEndsTheTransfer) {
    for (const std::size_t cutWrite : {1U, 3U}) {
        SCOPED_TRACE(cutWrite);
        TearDown();
        port.writes.clear();
        port.ended.clear();
        state.g_nSentCount = 0;
        port.cutShort = {{cutWrite, 10}};
        Start(Pattern(4096));
        ASSERT_TRUE(worker->WaitUntilEnded(10000));
        EXPECT_EQ(port.Writes().size(), cutWrite + 1);
        EXPECT_EQ(state.g_nSentCount.load(), static_cast<std::int32_t>(1365 * cutWrite + 10));
        EXPECT_EQ(port.ended, (std::vector<TransferEnd>{TransferEnd::WriteFailed}));
        // The last frame never went out whole: no answer, however late, is its answer.
        EXPECT_FALSE(worker->FrameOnLineAt(Clock::now() + std::chrono::seconds(1))->wholeFrameOut);
        worker.reset();
        file = nullptr;
    }
}

TEST_F(TransferWorkerTest, AStopEndsTheFrameBeforeItsNextWrite) {
    port.onWrite = [this](std::size_t call) {
        if (call == 1) {
            worker->Stop();
        }
    };
    Start(Pattern(3 * 4096));
    ASSERT_TRUE(worker->WaitUntilEnded(10000));
    EXPECT_EQ(port.Writes().size(), 2U);
    EXPECT_TRUE(port.ended.empty()) << "a stopped worker reports nothing";
}

TEST_F(TransferWorkerTest, AnAnswerCountsOnlyOnceTheWholeFrameCouldHaveCrossedTheWire) {
    std::vector<std::optional<FrameOnLine>> duringWrites;
    std::vector<Clock::time_point> writeTimes;
    const Clock::time_point beforeStart = Clock::now();
    port.onWrite = [&](std::size_t) {
        writeTimes.push_back(Clock::now());
        duringWrites.push_back(worker->FrameOnLineAt(writeTimes.back()));
    };
    Start(Pattern(4096 + 1));
    ASSERT_TRUE(WaitForAnswerWait(4));
    // Frame 0 is a block before the last; its writes were buffered at once.
    ASSERT_EQ(duringWrites.size(), 4U);
    for (std::size_t w = 0; w < 4; ++w) {
        ASSERT_TRUE(duringWrites[w].has_value());
        EXPECT_EQ(duringWrites[w]->role, FrameRole::Block);
        EXPECT_FALSE(duringWrites[w]->wholeFrameOut) << "write " << w;
    }
    const auto at = [&](std::size_t write, int ms) {
        return worker->FrameOnLineAt(writeTimes[write] + std::chrono::milliseconds(ms));
    };
    EXPECT_FALSE(at(3, 40)->wholeFrameOut) << "40 ms after the last chunk: still on the wire";
    EXPECT_FALSE(at(0, 330)->wholeFrameOut);
    EXPECT_TRUE(at(0, 357)->wholeFrameOut);
    EXPECT_FALSE(worker->FrameOnLineAt(beforeStart)->wholeFrameOut);

    const Clock::time_point beforeFrame1 = Clock::now();
    Accept();
    ASSERT_TRUE(WaitForAnswerWait(8));
    // An answer that arrived before frame 1 went out, handled once it has: not frame 1's.
    const auto stale = worker->FrameOnLineAt(beforeFrame1);
    ASSERT_TRUE(stale.has_value());
    EXPECT_EQ(stale->role, FrameRole::LastBlock);
    EXPECT_FALSE(stale->wholeFrameOut);
    EXPECT_TRUE(at(4, 357)->wholeFrameOut);
    worker->MarkFrameDamaged();
    EXPECT_TRUE(at(4, 357)->reportedDamaged);
    ResendLast();
    ASSERT_TRUE(WaitForAnswerWait(12));
    const auto resent = at(8, 357);
    EXPECT_TRUE(resent->wholeFrameOut);
    EXPECT_FALSE(resent->reportedDamaged) << "the resend goes out whole again";
    EXPECT_EQ(resent->attempt, 1);
}

// The worker sends what it is told, whatever g_nOffset says: a resend is the same frame again,
// and a 0x82 to the fill frame asks for a new fill frame, not a resend of the last.
TEST_F(TransferWorkerTest, EachFrameIsCountedAsTheWorkerWasToldNotByItsOffset) {
    struct Step {
        bool resend;  // told to send the same frame again, else the next one
        std::int64_t index;
        int attempt;
        FrameRole role;
        std::size_t offset;
    };
    Start(Pattern(4096 + 100));
    const std::vector<Step> steps = {{false, 1, 0, FrameRole::LastBlock, 4096},
                                     {true, 1, 1, FrameRole::LastBlock, 4096},
                                     {false, 2, 0, FrameRole::Fill, 4196},
                                     {false, 3, 0, FrameRole::Fill, 4196},
                                     {true, 3, 1, FrameRole::Fill, 4196}};
    ASSERT_TRUE(WaitForAnswerWait(4));
    std::size_t writes = 4;
    for (const Step& step : steps) {
        state.g_bGoAhead = 1;
        step.resend ? worker->ResendFrame() : worker->SendNextFrame();
        ASSERT_TRUE(WaitForAnswerWait(writes += 4));
        const std::optional<FrameCursor> frame = worker->UnacceptedFrame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_EQ(frame->index, step.index);
        EXPECT_EQ(frame->attempt, step.attempt) << "frame " << step.index;
        EXPECT_EQ(frame->role, step.role);
        const std::vector<Write> sent = port.Writes();
        Bytes bytes;
        for (std::size_t w = sent.size() - 4; w < sent.size(); ++w) {
            bytes.insert(bytes.end(), sent[w].bytes.begin(), sent[w].bytes.end());
        }
        EXPECT_EQ(bytes, ExpectedFrame(image, step.offset)) << "frame " << step.index;
    }
    EXPECT_EQ(state.g_nOffset.load(), 4196);
    EXPECT_EQ(state.g_nBlockLen.load(), 0);
    EXPECT_EQ(state.g_nSentCount.load(), 6 * 4107);
}

}  // namespace
