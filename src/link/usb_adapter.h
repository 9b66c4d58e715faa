// What a USB serial adapter is and how quickly it passes a head's answers on: the chip family
// from its USB ids, and what to do about a latency timer that holds answers back. Plain text
// work, so it is tested on every platform.
#pragma once

#include <string>
#include <string_view>

#include "port_list.h"

// A latency timer (ms) above this holds answers back noticeably: each one waits up to the
// timer's period, about 4 % of a frame at 16 ms.
constexpr int kLatencyTimerAdviceAboveMs = 2;
// The period (ms) the advice asks for: the least the drivers take.
constexpr int kLatencyTimerLowMs = 1;

// "FTDI", "CH340", "CP210x", "PL2303" from "0403:6001" (lower-case hex); empty when unknown.
std::string UsbChipFamily(std::string_view vidPid);

// "FTDI 0403:6001, driver ftdi_sio, latency timer 16 ms"; empty when nothing is known.
std::string DescribeAdapter(const SerialPortInfo& port);

// What lowers a latency timer above kLatencyTimerAdviceAboveMs ("... lower it: <command>");
// empty when the timer is low, unknown, or the system names nothing that lowers it.
std::string LatencyAdvice(const SerialPortInfo& port);
