// The settings an rfc2217:// port asks of the server for a line, and how the server's
// acknowledgements are read: each must come back as it was asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "network_port.h"
#include "rfc2217_client.h"

// One setting to be acknowledged: its command, value and how a message names it.
struct Rfc2217Setting {
    std::uint8_t code;
    std::vector<std::uint8_t> value;
    std::string name;
};

// The server's settings for the line: speed, data size, parity, stop bits, XON/XOFF, and a purge
// of its buffers. Empty, with `problem`, when the line cannot be set on a server.
std::vector<Rfc2217Setting> Rfc2217SettingsFor(const PortLineSettings& line, std::string& problem);

// Empty when the server confirmed every setting as asked; otherwise which one it did not
// confirm within `limitSeconds`, or refused, and what it answered.
std::string UnconfirmedSetting(const std::vector<Rfc2217Setting>& wanted,
                               const CRfc2217Client& client, int limitSeconds);
