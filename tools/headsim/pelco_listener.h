// What a head hears while in its ordinary control mode: Pelco-D or Pelco-P command frames,
// picked out of the byte stream, each judged against the head's address and control speed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class CommandVerdict {
    UpgradeForThisHead,  // the upgrade-mode command, for a head on this line, at its speed
    OtherAddress,        // a valid command for another head on the bus
    OtherSpeed,          // arrived at a speed the head does not listen at: garbled for it
    OtherCommand,        // a valid command for this head that is not the upgrade-mode command
};

struct HeardCommand {
    std::vector<std::uint8_t> bytes;
    int address = 0;  // the bus address it names (Pelco-P carries it less one)
    int baud = 0;     // the line speed it arrived at (the first differing one, if mixed)
    CommandVerdict verdict = CommandVerdict::OtherCommand;
};

const char* VerdictName(CommandVerdict verdict);

class PelcoListener {
  public:
    // `addresses`: the heads listening on this line.
    PelcoListener(bool pelcoP, std::vector<int> addresses, int speed);

    // Takes one byte heard at `baud`. A complete valid frame is returned in `command`; bytes
    // that cannot belong to one are appended to `discarded`.
    bool Feed(std::uint8_t byte, int baud, HeardCommand& command,
              std::vector<std::uint8_t>& discarded);
    // Drops a partial frame (the line went quiet); its bytes go to `discarded`.
    void Reset(std::vector<std::uint8_t>& discarded);
    bool Partial() const { return !m_bytes.empty(); }

  private:
    bool FrameValid() const;
    void Judge(HeardCommand& command) const;

    bool m_pelcoP;
    std::vector<int> m_addresses;
    int m_speed;
    std::vector<std::uint8_t> m_bytes;
    std::vector<int> m_bauds;
};
