#include "played_head.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

namespace {
constexpr std::size_t kFrameBytes = 4107;
constexpr std::size_t kBlockBytes = 4096;
constexpr std::uint32_t kLoadAddressBase = 0x20000;
constexpr std::uint8_t kCheckByte = 0x3F;
constexpr std::uint8_t kStartMark = 0x73;
// A frame cut off for this long is dropped, as a head would.
constexpr auto kFrameGap = std::chrono::milliseconds(1000);
// 4107 bytes at 115200 bit/s take 356.5 ms on the wire.
constexpr auto kFrameWireTime = std::chrono::milliseconds(357);

void Sleep(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
}  // namespace

PlayedHead::PlayedHead(Script script, bool answerCheck)
    : m_script(std::move(script)), m_answerCheck(answerCheck) {
    m_thread = std::thread(&PlayedHead::Run, this);
}

PlayedHead::~PlayedHead() {
    m_stop = true;
    m_thread.join();
}

void PlayedHead::SetScript(Script script) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_script = std::move(script);
}

PlayedHead::Script PlayedHead::ChangingImageScript(std::string path, bool grows) {
    return [path = std::move(path), grows](const PlayedFrame& frame, const PlayedHead& head) {
        if (frame.sequence == 0) {
            if (grows) {
                std::ofstream(path, std::ios::binary | std::ios::app)
                    << std::string(kBlockBytes, 'x');
            } else {
                std::filesystem::resize_file(path, kBlockBytes + 10);
            }
        }
        return HonestScript()(frame, head);
    };
}

PlayedHead::Script PlayedHead::HonestScript() {
    return [](const PlayedFrame& frame, const PlayedHead& head) {
        if (!frame.sumGood) {
            return Answer(0x83);
        }
        if (!frame.markedLast) {
            return Answer(0x82);
        }
        return Answer(head.HasEveryBlockUpTo(frame.loadAddress) ? 0x84 : 0x86);
    };
}

std::vector<std::uint8_t> PlayedHead::Image() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::uint8_t> image;
    for (std::uint32_t at = kLoadAddressBase;; at += kBlockBytes) {
        const auto block = m_blocks.find(at);
        if (block == m_blocks.end()) {
            break;
        }
        image.insert(image.end(), block->second.begin(), block->second.begin() + kBlockBytes);
        if (block->second[kBlockBytes] != 0) {  // the mark kept after the data
            break;
        }
    }
    return image;
}

std::vector<std::uint32_t> PlayedHead::Addresses() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_addresses;
}

std::vector<std::vector<std::uint8_t>> PlayedHead::Frames() const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool PlayedHead::HasEveryBlockUpTo(std::uint32_t loadAddress) const {
    const std::lock_guard<std::mutex> lock(m_mutex);
    for (std::uint32_t at = kLoadAddressBase; at < loadAddress; at += kBlockBytes) {
        if (m_blocks.count(at) == 0) {
            return false;
        }
    }
    return true;
}

bool PlayedHead::WaitForFrames(int count, int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_frames.load() < count) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        Sleep(5);
    }
    return true;
}

void PlayedHead::Run() {
    auto lastByte = std::chrono::steady_clock::now();
    while (!m_stop) {
        const std::vector<std::uint8_t> bytes = m_pty.Receive(1, 50);
        const auto now = std::chrono::steady_clock::now();
        if (bytes.empty()) {
            if (!m_frame.empty() && now - lastByte > kFrameGap) {
                m_frame.clear();
            }
            continue;
        }
        lastByte = now;
        Take(bytes.data(), bytes.size());
    }
}

void PlayedHead::Take(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t byte = bytes[i];
        if (!m_frame.empty()) {
            m_frame.push_back(byte);
            if (m_frame.size() == kFrameBytes) {
                FinishFrame();
            }
        } else if (byte == kStartMark) {
            m_checkPending = false;
            m_frameStart = std::chrono::steady_clock::now();
            m_frame.push_back(byte);
        } else if (byte == kCheckByte && m_checkPending) {
            m_checkPending = false;
            ++m_checks;
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_blocks.clear();  // a new transfer starts
            }
            if (m_answerCheck) {
                Play(Answer(0x80));
            }
        } else {
            m_checkPending = byte == kCheckByte;
        }
    }
}

void PlayedHead::FinishFrame() {
    PlayedFrame frame;
    frame.sequence = m_frames.load();
    frame.markedLast = m_frame[1] != 0;
    frame.loadAddress = (std::uint32_t{m_frame[2]} << 24U) | (std::uint32_t{m_frame[3]} << 16U) |
                        (std::uint32_t{m_frame[4]} << 8U) | m_frame[5];
    std::uint32_t sum = 0;
    for (std::size_t i = 1; i < 8 + kBlockBytes; ++i) {
        sum += m_frame[i];
    }
    const std::uint32_t carried = (std::uint32_t{m_frame[4104]} << 16U) |
                                  (std::uint32_t{m_frame[4105]} << 8U) | m_frame[4106];
    frame.sumGood = (sum & 0xFFFFFFU) == carried;
    Script script;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_addresses.push_back(frame.loadAddress);
        m_received.push_back(m_frame);
        if (frame.sumGood) {
            std::vector<std::uint8_t> block(m_frame.begin() + 8, m_frame.begin() + 8 + kBlockBytes);
            block.push_back(frame.markedLast ? 1 : 0);
            m_blocks[frame.loadAddress] = std::move(block);
        }
        script = m_script;
    }
    m_frame.clear();
    const PlayedAnswer answer = script(frame, *this);
    ++m_frames;
    if (m_portClosed) {
        m_pty.CloseMaster();
        m_stop = true;
        return;
    }
    Play(answer, m_frameStart);
}

void PlayedHead::Pause(int ms) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_stop && std::chrono::steady_clock::now() < end) {
        Sleep(5);
    }
}

void PlayedHead::Play(const PlayedAnswer& answer,
                      std::optional<std::chrono::steady_clock::time_point> frameStart) {
    if (answer.chunks.empty()) {
        return;
    }
    if (frameStart && answer.paced) {
        const auto onTheWire = *frameStart + kFrameWireTime - std::chrono::steady_clock::now();
        Pause(static_cast<int>(std::max<std::int64_t>(
            0, std::chrono::ceil<std::chrono::milliseconds>(onTheWire).count())));
    }
    Pause(answer.delayMs);
    for (std::size_t i = 0; i < answer.chunks.size() && !m_stop; ++i) {
        if (i > 0) {
            Pause(answer.gapMs);
        }
        try {
            m_pty.Send(answer.chunks[i]);
        } catch (const std::runtime_error&) {
            return;  // the port side is gone
        }
    }
}
