// What people are told when a network port cannot connect or its connection fails in use:
// what happened and what to check.
#pragma once

#include <string>

#include "net_socket.h"
#include "network_port_name.h"
#include "serial_link.h"

// A connection that could not be made within `limitMs`.
std::string ConnectFailureText(const NetworkPortAddress& address, const NetFailure& failure,
                               int limitMs);

// The server closed the connection.
std::string ClosedText();

// A connection that failed in use: a flood says what the server sent; anything else ended it.
PortError ConnectionError(const std::string& where, const NetFailure& failure,
                          const std::string& closedTail = "");
