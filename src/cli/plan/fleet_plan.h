// --plan FILE: the heads of a whole site, one CSV row each (port, address, protocol, speed, and
// optionally image and label). Every row is checked, and every image read, before any port opens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct PlanRow {
    int line = 0;      // in the plan file, from 1: reports and messages name it
    std::string port;  // as written: a device, rfc2217://, socket:// or "sim"
    std::string bus;   // the port's canonical name: rows with the same one share a bus
    std::uint8_t address = 1;
    std::uint8_t protocolIndex = 1;  // PELCO_D
    std::string protocolName;        // "pelco-d" or "pelco-p"
    std::int32_t speed = 2400;
    std::string image;           // as written, or the command line's image when the row names none
    std::string label;           // the technician's name for the head; may be empty
    int imageColumn = 0;         // where the row names its image, for messages
    std::size_t imageIndex = 0;  // into FleetPlan::images
};

struct PlanImage {
    std::string path;  // as opened
    std::vector<std::uint8_t> bytes;
    std::string sha256;
};

struct FleetPlan {
    std::vector<PlanRow> rows;      // in the plan's order
    std::vector<PlanImage> images;  // each file read once, however many rows name it
};

// One name for every spelling of a port ("sim" stays "sim").
using PortNamer = std::function<std::string(const std::string& port)>;

struct PlanRules {
    bool noSwitch = false;  // --no-switch: one head per port, and socket:// ports allowed
    PortNamer busOf;        // the canonical name of a port; the name as written when empty
};

// The canonical name of a planned port: the device it opens, the network port in one spelling.
std::string PlanBusName(const std::string& port);

// The rows of the plan's text, checked; `planName` names the file in messages. Nothing, with
// `error` naming the line and column, when a row is not a head this program can upgrade. No
// two rows name the same head (bus and address).
std::optional<std::vector<PlanRow>> ParsePlan(const std::string& text, const std::string& planName,
                                              const PlanRules& rules, std::string& error);
