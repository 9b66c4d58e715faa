#include "rfc2217_client.h"

namespace {
bool WeUse(std::uint8_t option) {
    return option == telnet::kOptionBinary || option == telnet::kOptionComPort ||
           option == telnet::kOptionSuppressGoAhead;
}
}  // namespace

std::vector<std::uint8_t> CRfc2217Client::Start() {
    std::vector<std::uint8_t> bytes;
    for (const auto& [verb, option] : {std::pair{telnet::kWill, telnet::kOptionComPort},
                                       std::pair{telnet::kWill, telnet::kOptionBinary},
                                       std::pair{telnet::kDo, telnet::kOptionBinary}}) {
        const auto command = TelnetOption(verb, option);
        bytes.insert(bytes.end(), command.begin(), command.end());
        m_answered[static_cast<std::uint16_t>(verb << 8U | option)] = true;
    }
    return bytes;
}

void CRfc2217Client::Feed(const std::uint8_t* bytes, std::size_t length,
                          std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& replies) {
    std::vector<TelnetCommand> commands;
    m_decoder.Feed(bytes, length, data, commands);
    for (const TelnetCommand& command : commands) {
        OnCommand(command, replies);
    }
}

void CRfc2217Client::Answer(std::uint8_t verb, std::uint8_t option,
                            std::vector<std::uint8_t>& replies) {
    bool& answered = m_answered[static_cast<std::uint16_t>(verb << 8U | option)];
    if (!answered) {
        answered = true;
        const auto command = TelnetOption(verb, option);
        replies.insert(replies.end(), command.begin(), command.end());
    }
}

void CRfc2217Client::Refuse(const std::string& what) {
    if (m_refusal.empty()) {
        m_refusal = what;
    }
}

void CRfc2217Client::OnCommand(const TelnetCommand& command, std::vector<std::uint8_t>& replies) {
    const std::uint8_t option = command.option;
    switch (command.verb) {
        case telnet::kWill:
            Answer(WeUse(option) ? telnet::kDo : telnet::kDont, option, replies);
            m_binaryIn = m_binaryIn || option == telnet::kOptionBinary;
            break;
        case telnet::kDo:
            Answer(WeUse(option) ? telnet::kWill : telnet::kWont, option, replies);
            m_comPortAgreed = m_comPortAgreed || option == telnet::kOptionComPort;
            m_binaryOut = m_binaryOut || option == telnet::kOptionBinary;
            break;
        case telnet::kWont:
            if (option == telnet::kOptionBinary) {
                Refuse("binary mode from the server (it answered WONT BINARY)");
            }
            break;
        case telnet::kDont:
            if (option == telnet::kOptionComPort) {
                Refuse("the COM-PORT-OPTION of RFC 2217 (it answered DONT COM-PORT-OPTION)");
            } else if (option == telnet::kOptionBinary) {
                Refuse("binary mode to the server (it answered DONT BINARY)");
            }
            break;
        case telnet::kSb:
            // Answers carry the client's code + 100; line and modem state notices (106, 107)
            // land here too and are never asked for.
            if (option == telnet::kOptionComPort && !command.payload.empty() &&
                command.payload[0] > rfc2217::kServerOffset) {
                m_acks[static_cast<std::uint8_t>(command.payload[0] - rfc2217::kServerOffset)] =
                    std::vector<std::uint8_t>(command.payload.begin() + 1, command.payload.end());
            }
            break;
        default:
            break;
    }
}

std::string CRfc2217Client::MissingOptions() const {
    std::string missing;
    const auto add = [&missing](bool agreed, const char* name) {
        if (!agreed) {
            missing += (missing.empty() ? "" : ", ") + std::string(name);
        }
    };
    add(m_comPortAgreed, "COM-PORT-OPTION (DO COM-PORT-OPTION)");
    add(m_binaryIn, "binary mode from the server (WILL BINARY)");
    add(m_binaryOut, "binary mode to the server (DO BINARY)");
    return missing;
}

std::optional<std::vector<std::uint8_t>> CRfc2217Client::Acknowledged(std::uint8_t code) const {
    const auto found = m_acks.find(code);
    if (found == m_acks.end()) {
        return std::nullopt;
    }
    return found->second;
}
