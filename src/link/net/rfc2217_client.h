// The client side of a Telnet COM-PORT-OPTION (RFC 2217) dialog as pure state: what to send to
// negotiate the options, the answers to a server's own requests, and the acknowledgements the
// server has given. The network port feeds it bytes and sends what it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "telnet_codec.h"

class CRfc2217Client {
  public:
    // IAC WILL COM-PORT-OPTION and binary mode both ways (IAC WILL BINARY, IAC DO BINARY).
    std::vector<std::uint8_t> Start();

    // Takes bytes from the server: data is appended to `data`, answers to the server's option
    // requests to `replies` (to be sent as they are).
    void Feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<std::uint8_t>& replies);

    // The server agreed to every option asked for.
    bool Negotiated() const { return m_comPortAgreed && m_binaryIn && m_binaryOut; }
    // The options the server has not agreed to yet, for a message ("COM-PORT-OPTION, ...").
    std::string MissingOptions() const;
    // What the server refused, empty while it has refused nothing.
    const std::string& Refusal() const { return m_refusal; }

    // What the decoder counts, for the network port's flood limits (telnet_codec.h).
    std::size_t CommandsSeen() const { return m_decoder.CommandsSeen(); }
    bool Overlong() const { return m_decoder.Overlong(); }

    // The value the server last acknowledged for the client command `code`.
    std::optional<std::vector<std::uint8_t>> Acknowledged(std::uint8_t code) const;
    void ForgetAcknowledgement(std::uint8_t code) { m_acks.erase(code); }

  private:
    void OnCommand(const TelnetCommand& command, std::vector<std::uint8_t>& replies);
    void Refuse(const std::string& what);
    // Answers a request once: an answer to our own answer would start a loop.
    void Answer(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& replies);

    CTelnetDecoder m_decoder;
    bool m_comPortAgreed = false;  // server: DO COM-PORT-OPTION
    bool m_binaryIn = false;       // server: WILL BINARY (it sends binary)
    bool m_binaryOut = false;      // server: DO BINARY (it takes binary)
    std::string m_refusal;
    std::map<std::uint8_t, std::vector<std::uint8_t>> m_acks;
    std::map<std::uint16_t, bool> m_answered;  // verb << 8 | option
};
