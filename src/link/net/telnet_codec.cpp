#include "telnet_codec.h"

void AppendTelnetData(const std::uint8_t* bytes, std::size_t length,
                      std::vector<std::uint8_t>& out) {
    out.reserve(out.size() + length + length / 64);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == telnet::kIac) {
            out.push_back(telnet::kIac);
        }
    }
}

std::vector<std::uint8_t> TelnetOption(std::uint8_t verb, std::uint8_t option) {
    return {telnet::kIac, verb, option};
}

std::vector<std::uint8_t> ComPortCommand(std::uint8_t code,
                                         const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> bytes{telnet::kIac, telnet::kSb, telnet::kOptionComPort};
    AppendTelnetData(&code, 1, bytes);  // escaped like the value: no real code is 0xFF, though
    AppendTelnetData(value.data(), value.size(), bytes);
    bytes.push_back(telnet::kIac);
    bytes.push_back(telnet::kSe);
    return bytes;
}

void CTelnetDecoder::KeepPayload(std::uint8_t byte) {
    if (m_command.payload.size() < kMaxPayload) {
        m_command.payload.push_back(byte);
    } else {
        m_overlong = true;
    }
}

void CTelnetDecoder::Feed(const std::uint8_t* bytes, std::size_t length,
                          std::vector<std::uint8_t>& data, std::vector<TelnetCommand>& commands) {
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t byte = bytes[i];
        switch (m_state) {
            case State::Data:
                if (byte == telnet::kIac) {
                    m_state = State::Iac;
                } else {
                    data.push_back(byte);
                }
                break;
            case State::Iac:
                if (byte == telnet::kIac) {
                    data.push_back(byte);
                    m_state = State::Data;
                    break;
                }
                ++m_commandsSeen;
                if (byte >= telnet::kWill && byte <= telnet::kDont) {
                    m_command = TelnetCommand{byte, 0, {}};
                    m_state = State::Verb;
                } else if (byte == telnet::kSb) {
                    m_command = TelnetCommand{telnet::kSb, 0, {}};
                    m_state = State::SubOption;
                } else {
                    m_state = State::Data;  // a command without an option: nothing to do
                }
                break;
            case State::Verb:
                m_command.option = byte;
                commands.push_back(m_command);
                m_state = State::Data;
                break;
            case State::SubOption:
                m_command.option = byte;
                m_state = State::Sub;
                break;
            case State::Sub:
                if (byte == telnet::kIac) {
                    m_state = State::SubIac;
                } else {
                    KeepPayload(byte);
                }
                break;
            case State::SubIac:
                if (byte == telnet::kIac) {
                    KeepPayload(byte);
                    m_state = State::Sub;
                } else {
                    // IAC SE ends it; any other command inside a subnegotiation ends it too.
                    commands.push_back(m_command);
                    m_state = State::Data;
                }
                break;
        }
    }
}
