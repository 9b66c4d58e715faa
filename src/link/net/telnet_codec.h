// The Telnet byte layer of a network serial port: 0xFF (IAC) escaping of data both ways, option
// and COM-PORT-OPTION (RFC 2217) commands, and a decoder that splits what a server sends into
// data bytes and commands. Pure code: no sockets, no clocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace telnet {
constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;

constexpr std::uint8_t kOptionBinary = 0;
constexpr std::uint8_t kOptionSuppressGoAhead = 3;
constexpr std::uint8_t kOptionComPort = 44;
}  // namespace telnet

// RFC 2217 command codes as the client sends them; the server answers with the code + 100.
namespace rfc2217 {
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kPurgeData = 12;
constexpr std::uint8_t kServerOffset = 100;

constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kParityOdd = 2;
constexpr std::uint8_t kParityEven = 3;
constexpr std::uint8_t kParityMark = 4;
constexpr std::uint8_t kParitySpace = 5;
constexpr std::uint8_t kStopOne = 1;
constexpr std::uint8_t kStopTwo = 2;
constexpr std::uint8_t kStopOneAndHalf = 3;
constexpr std::uint8_t kControlNoFlow = 1;
constexpr std::uint8_t kControlXonXoff = 2;
constexpr std::uint8_t kPurgeBoth = 3;
}  // namespace rfc2217

// Appends `bytes` to `out` with every 0xFF doubled, as Telnet data must be.
void AppendTelnetData(const std::uint8_t* bytes, std::size_t length,
                      std::vector<std::uint8_t>& out);

// IAC <verb> <option>, e.g. IAC WILL COM-PORT-OPTION.
std::vector<std::uint8_t> TelnetOption(std::uint8_t verb, std::uint8_t option);

// IAC SB COM-PORT-OPTION <code> <value, escaped> IAC SE.
std::vector<std::uint8_t> ComPortCommand(std::uint8_t code, const std::vector<std::uint8_t>& value);

// A command the server sent: an option verb (WILL, WONT, DO, DONT) or a subnegotiation.
struct TelnetCommand {
    std::uint8_t verb = 0;              // kWill..kDont, or kSb
    std::uint8_t option = 0;            // the option it is about
    std::vector<std::uint8_t> payload;  // subnegotiation bytes after the option, unescaped
};

// Splits a server's byte stream, in pieces of any size, into data and commands. Other Telnet
// commands (NOP, GA, ...) are dropped; a subnegotiation longer than any real one is cut short
// and marked Overlong. Every byte that is not data belongs to a counted command of bounded size
// or to an overlong subnegotiation, so a caller can tell any flood from these two counts.
class CTelnetDecoder {
  public:
    // Longest subnegotiation payload kept, in bytes (RFC 2217 ones have five at most).
    static constexpr std::size_t kMaxPayload = 256;

    void Feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<TelnetCommand>& commands);

    // Commands begun so far, the dropped ones included.
    std::size_t CommandsSeen() const { return m_commandsSeen; }
    // A subnegotiation ran past kMaxPayload bytes: no serial server sends one.
    bool Overlong() const { return m_overlong; }

  private:
    enum class State { Data, Iac, Verb, SubOption, Sub, SubIac };

    void KeepPayload(std::uint8_t byte);

    State m_state = State::Data;
    TelnetCommand m_command;
    std::size_t m_commandsSeen = 0;
    bool m_overlong = false;
};
