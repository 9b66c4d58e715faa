#include "pelco_listener.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace {
constexpr std::uint8_t kPelcoDSync = 0xFF;
constexpr std::size_t kPelcoDBytes = 7;
constexpr std::uint8_t kPelcoPStart = 0xA0;
constexpr std::uint8_t kPelcoPEnd = 0xAF;
constexpr std::size_t kPelcoPBytes = 8;
// Command and data bytes that ask the head to enter its upgrade mode.
constexpr std::uint8_t kUpgradeCommand[4] = {0x00, 0x57, 0x00, 0x00};
}  // namespace

const char* VerdictName(CommandVerdict verdict) {
    switch (verdict) {
        case CommandVerdict::UpgradeForThisHead:
            return "upgrade command for this head";
        case CommandVerdict::OtherAddress:
            return "command for another address";
        case CommandVerdict::OtherSpeed:
            return "command at a speed the head does not listen at";
        case CommandVerdict::OtherCommand:
            return "not the upgrade-mode command";
    }
    return "unknown";
}

PelcoListener::PelcoListener(bool pelcoP, std::vector<int> addresses, int speed)
    : m_pelcoP(pelcoP), m_addresses(std::move(addresses)), m_speed(speed) {}

bool PelcoListener::FrameValid() const {
    if (m_pelcoP) {
        std::uint8_t x = 0;
        for (std::size_t i = 0; i + 1 < kPelcoPBytes; ++i) {
            x ^= m_bytes[i];
        }
        return m_bytes[0] == kPelcoPStart && m_bytes[6] == kPelcoPEnd && m_bytes[7] == x;
    }
    unsigned sum = 0;
    for (std::size_t i = 1; i + 1 < kPelcoDBytes; ++i) {
        sum += m_bytes[i];
    }
    return m_bytes[0] == kPelcoDSync && m_bytes[6] == (sum & 0xFFU);
}

void PelcoListener::Judge(HeardCommand& command) const {
    command.bytes = m_bytes;
    command.address = m_pelcoP ? m_bytes[1] + 1 : m_bytes[1];
    const auto wrongSpeed =
        std::find_if(m_bauds.begin(), m_bauds.end(), [this](int b) { return b != m_speed; });
    command.baud = wrongSpeed != m_bauds.end() ? *wrongSpeed : m_speed;
    const bool upgrade =
        std::equal(std::begin(kUpgradeCommand), std::end(kUpgradeCommand), m_bytes.begin() + 2);
    if (wrongSpeed != m_bauds.end()) {
        command.verdict = CommandVerdict::OtherSpeed;
    } else if (std::find(m_addresses.begin(), m_addresses.end(), command.address) ==
               m_addresses.end()) {
        command.verdict = CommandVerdict::OtherAddress;
    } else if (!upgrade) {
        command.verdict = CommandVerdict::OtherCommand;
    } else {
        command.verdict = CommandVerdict::UpgradeForThisHead;
    }
}

bool PelcoListener::Feed(std::uint8_t byte, int baud, HeardCommand& command,
                         std::vector<std::uint8_t>& discarded) {
    const std::uint8_t start = m_pelcoP ? kPelcoPStart : kPelcoDSync;
    const std::size_t length = m_pelcoP ? kPelcoPBytes : kPelcoDBytes;
    m_bytes.push_back(byte);
    m_bauds.push_back(baud);
    while (!m_bytes.empty()) {
        if (m_bytes[0] != start) {
            discarded.push_back(m_bytes[0]);
            m_bytes.erase(m_bytes.begin());
            m_bauds.erase(m_bauds.begin());
            continue;
        }
        if (m_bytes.size() < length) {
            return false;
        }
        if (FrameValid()) {
            Judge(command);
            m_bytes.clear();
            m_bauds.clear();
            return true;
        }
        // Not a frame after all: the start byte was data; look for the next one.
        discarded.push_back(m_bytes[0]);
        m_bytes.erase(m_bytes.begin());
        m_bauds.erase(m_bauds.begin());
    }
    return false;
}

void PelcoListener::Reset(std::vector<std::uint8_t>& discarded) {
    discarded.insert(discarded.end(), m_bytes.begin(), m_bytes.end());
    m_bytes.clear();
    m_bauds.clear();
}
