// The head's behaviour, apart from any I/O: the bytes it hears (with the line speed they arrived
// at and when) go in, the answers it gives come out, and every event goes to the log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "event_log.h"
#include "frame_decoder.h"
#include "head_simulator.h"
#include "pelco_listener.h"

struct HeadAnswer {
    std::vector<std::uint8_t> bytes;  // any noise, then the answer byte; empty when silent
    bool completes = false;           // the last head on the line not yet upgraded is now upgraded
};

class HeadMachine {
  public:
    HeadMachine(const HeadSimOptions& options, EventLog& log);

    // One byte heard at `baud` bit/s at `nowMs` (a steady clock in milliseconds).
    void Step(std::uint8_t byte, int baud, std::int64_t nowMs, std::vector<HeadAnswer>& answers);
    void EndOfChunk();  // logs what the chunk held that the head ignored
    bool VanishRequested() const { return m_vanish; }
    // Writes the blocks of an unfinished transfer to the image file, if there are any.
    void SavePartialImage();
    const HeadSimSummary& Summary() const { return m_summary; }

  private:
    enum class Mode { Command, Upgrade, Frame };

    void StepCommand(std::uint8_t byte, int baud, std::int64_t nowMs);
    void StepUpgrade(std::uint8_t byte, int baud, std::vector<HeadAnswer>& answers);
    void StepFrame(std::uint8_t byte, int baud, std::vector<HeadAnswer>& answers);
    void FinishFrame(std::vector<HeadAnswer>& answers);
    // A good frame carrying the expected block (or the last one again): stored and answered.
    // The frame fault asked for at frame `index`, answered; false when none is.
    bool AnswerFault(int index, std::vector<HeadAnswer>& answers);
    void StoreBlock(const DecodedFrame& frame, int index, bool repeatOfLast,
                    std::vector<HeadAnswer>& answers);
    void Answer(std::uint8_t byte, const char* meaning, bool completes,
                std::vector<HeadAnswer>& answers);
    void Ignore(const std::uint8_t* bytes, std::size_t count, int baud, const char* reason);
    void FlushIgnored();
    void Abandon(const std::string& why);
    bool TakeFault(std::vector<int>& at, int index, const char* kind);
    bool WriteImage(const char* what);
    void EnterStartMode();

    HeadSimOptions m_options;
    EventLog& m_log;
    HeadSimSummary m_summary;
    PelcoListener m_listener;
    Mode m_mode = Mode::Command;
    std::int64_t m_lastByteMs = -1;

    bool m_checkPending = false;  // one 0x3F of the connection check heard
    std::vector<std::uint8_t> m_frame;
    int m_frameBaud = 0;

    std::vector<std::uint8_t> m_image;  // blocks of the current (or last) transfer, in order
    int m_nextBlock = 0;                // index of the block the head expects next
    bool m_refusedLast = false;         // the last frame was refused: the next may be a resend
    bool m_imageSaved = true;

    std::vector<int> m_notUpgraded;  // heads that have not completed an upgrade yet
    bool m_silent = false;
    bool m_vanish = false;

    std::vector<std::uint8_t> m_ignored;
    int m_ignoredBaud = 0;
    std::string m_ignoredReason;
};
