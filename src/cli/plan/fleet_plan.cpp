#include "fleet_plan.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "cli_options.h"
#include "csv_line.h"
#include "pelco_command.h"
#include "port_identity.h"
#include "safe_text.h"

namespace {

enum class Column { Port, Address, Protocol, Speed, Image, Label };

struct ColumnName {
    const char* name;
    Column column;
    bool required;
};

constexpr std::array<ColumnName, 6> kColumns = {{
    {"port", Column::Port, true},
    {"address", Column::Address, true},
    {"protocol", Column::Protocol, true},
    {"speed", Column::Speed, true},
    {"image", Column::Image, false},
    {"label", Column::Label, false},
}};
constexpr const char* kSimPort = "sim";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
    return text;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The header: which column holds what, in the order written.
struct Header {
    std::vector<Column> columns;
    std::vector<std::string> names;
};

class PlanParser {
  public:
    PlanParser(std::string planName, PlanRules rules)
        : m_planName(std::move(planName)), m_rules(std::move(rules)) {}

    std::optional<std::vector<PlanRow>> Parse(const std::string& text, std::string& error) {
        std::istringstream lines(text);
        std::string line;
        for (int number = 1; std::getline(lines, line); ++number) {
            if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) {
                line.erase(0, 3);  // the byte-order mark spreadsheets write
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            const auto first = line.find_first_not_of(" \t");
            if (first == std::string::npos || line[first] == '#') {
                continue;
            }
            m_line = number;
            const bool ok = m_header.columns.empty() ? ReadHeader(line) : ReadRow(line);
            if (!ok) {
                error = m_error;
                return std::nullopt;
            }
        }
        if (m_header.columns.empty() || m_rows.empty()) {
            error = m_planName + ": the plan has no heads: it needs a header row (port,address," +
                    "protocol,speed[,image][,label]) and one row per head";
            return std::nullopt;
        }
        return m_rows;
    }

  private:
    bool Fail(const std::string& message) {
        m_error = m_planName + " line " + std::to_string(m_line) + ": " + message;
        return false;
    }
    bool FailAt(std::size_t index, const std::string& message) {
        return Fail("column " + std::to_string(index + 1) + " (" + m_header.names[index] +
                    "): " + message);
    }

    // Plans hold printable text only: a control character would reach the report, the
    // terminal and the messages that quote the field.
    bool Printable(const std::vector<CsvField>& fields) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const auto control = FindControlCharacter(fields[i].text);
            if (!control) {
                continue;
            }
            const std::string column =
                i < m_header.names.size() ? " (" + m_header.names[i] + ")" : std::string();
            return Fail("column " + std::to_string(i + 1) + column + ": a control character (" +
                        ControlCharacterName(*control) +
                        "): a plan holds printable text only; remove it");
        }
        return true;
    }

    // The line's fields, every one printable; nothing once the line has failed.
    std::optional<std::vector<CsvField>> Fields(const std::string& line) {
        std::string error;
        auto fields = SplitCsvLine(line, error);
        if (!fields) {
            Fail(error);
            return std::nullopt;
        }
        if (!Printable(*fields)) {
            return std::nullopt;
        }
        return fields;
    }

    bool ReadHeader(const std::string& line) {
        const auto fields = Fields(line);
        if (!fields) {
            return false;
        }
        for (std::size_t i = 0; i < fields->size(); ++i) {
            const std::string name = Lower((*fields)[i].text);
            const auto known = std::find_if(kColumns.begin(), kColumns.end(),
                                            [&](const ColumnName& c) { return name == c.name; });
            if (known == kColumns.end()) {
                return Fail("column " + std::to_string(i + 1) + ": '" + (*fields)[i].text +
                            "' is not a column of a plan (port, address, protocol, speed, image, "
                            "label)");
            }
            if (std::find(m_header.columns.begin(), m_header.columns.end(), known->column) !=
                m_header.columns.end()) {
                return Fail("column " + std::to_string(i + 1) + ": '" + name + "' is named twice");
            }
            m_header.columns.push_back(known->column);
            m_header.names.push_back(name);
        }
        for (const ColumnName& c : kColumns) {
            if (c.required && std::find(m_header.columns.begin(), m_header.columns.end(),
                                        c.column) == m_header.columns.end()) {
                return Fail(std::string("the header has no '") + c.name +
                            "' column: a plan's header is port,address,protocol,speed, then "
                            "optionally image and label");
            }
        }
        return true;
    }

    bool ReadRow(const std::string& line) {
        const auto fields = Fields(line);
        if (!fields) {
            return false;
        }
        if (fields->size() > m_header.columns.size()) {
            return Fail("column " + std::to_string(m_header.columns.size() + 1) +
                        ": an extra column: the header names " +
                        std::to_string(m_header.columns.size()));
        }
        PlanRow row;
        row.line = m_line;
        for (std::size_t i = 0; i < m_header.columns.size(); ++i) {
            const bool present = i < fields->size();
            const std::string text = present ? (*fields)[i].text : std::string();
            const Column column = m_header.columns[i];
            const bool required = column != Column::Image && column != Column::Label;
            if (required && text.empty()) {
                return FailAt(i, present ? "empty: every row needs a port, address, protocol "
                                           "and speed"
                                         : "missing: every row needs a port, address, protocol "
                                           "and speed");
            }
            if (!ReadField(column, i, text, row)) {
                return false;
            }
        }
        return Add(std::move(row));
    }

    bool ReadField(Column column, std::size_t index, const std::string& text, PlanRow& row) {
        switch (column) {
            case Column::Port: {
                std::string problem;
                if (CheckPortName(text, m_rules.noSwitch, problem) != PortNameFault::None) {
                    return FailAt(index, problem);
                }
                row.port = text;
                row.bus = m_rules.busOf ? m_rules.busOf(text) : text;
                return true;
            }
            case Column::Address:
                if (!AllDigits(text) || text.size() > 3 || std::stoi(text) < 1 ||
                    std::stoi(text) > 255) {
                    return FailAt(index,
                                  "'" + text + "' is not an address: addresses are 1 to 255");
                }
                row.address = static_cast<std::uint8_t>(std::stoi(text));
                return true;
            case Column::Protocol: {
                const std::optional<std::uint8_t> protocol = ProtocolIndexForName(text);
                if (!protocol) {
                    return FailAt(index, "'" + text + "' is not a protocol: pelco-d or pelco-p");
                }
                row.protocolIndex = *protocol;
                row.protocolName = kProtocolNames[*protocol];
                return true;
            }
            case Column::Speed: {
                const bool known = AllDigits(text) && text.size() <= 5 &&
                                   SpeedIndexForBaudRate(std::stoi(text)).has_value();
                if (!known) {
                    return FailAt(index,
                                  "'" + text + "' is not a control speed: " + ControlSpeedsText());
                }
                row.speed = std::stoi(text);
                return true;
            }
            case Column::Image:
                row.image = text;
                row.imageColumn = static_cast<int>(index) + 1;
                return true;
            case Column::Label:
                row.label = text;
                return true;
        }
        return true;
    }

    bool Add(PlanRow row) {
        const auto key = std::make_pair(row.bus, row.address);
        const auto earlier = m_rowOf.find(key);
        if (earlier != m_rowOf.end()) {
            const PlanRow& first = m_rows[earlier->second];
            const std::string spelling =
                first.port == row.port ? std::string() : ", as " + first.port + ": one port";
            return Fail("head " + std::to_string(row.address) + " on " + row.port +
                        " is planned twice (first at line " + std::to_string(first.line) +
                        spelling + ")");
        }
        const auto busmate = std::find_if(m_rows.begin(), m_rows.end(),
                                          [&](const PlanRow& r) { return r.bus == row.bus; });
        if (m_rules.noSwitch && busmate != m_rows.end()) {
            // Without the command nothing selects a head: every one in upgrade mode would take
            // the frames.
            return Fail("--no-switch takes one head per port, and " + row.port +
                        " has another at line " + std::to_string(busmate->line));
        }
        m_rowOf[key] = m_rows.size();
        if (row.port == kSimPort) {
            // One simulated bus, whose heads all listen with one protocol at one speed.
            if (m_simRow == nullptr) {
                m_simRow = std::make_unique<PlanRow>(row);
            } else if (row.protocolName != m_simRow->protocolName || row.speed != m_simRow->speed) {
                return Fail(
                    "the simulated bus 'sim' has one protocol and speed for all its "
                    "heads: " +
                    m_simRow->protocolName + " at " + std::to_string(m_simRow->speed) +
                    " bit/s (line " + std::to_string(m_simRow->line) + ")");
            }
        }
        m_rows.push_back(std::move(row));
        return true;
    }

    std::string m_planName;
    PlanRules m_rules;
    int m_line = 0;
    std::string m_error;
    Header m_header;
    std::vector<PlanRow> m_rows;
    std::map<std::pair<std::string, std::uint8_t>, std::size_t> m_rowOf;  // into m_rows
    std::unique_ptr<PlanRow> m_simRow;
};

}  // namespace

std::string PlanBusName(const std::string& port) {
    return port == kSimPort ? port : CanonicalPortName(port);
}

std::optional<std::vector<PlanRow>> ParsePlan(const std::string& text, const std::string& planName,
                                              const PlanRules& rules, std::string& error) {
    return PlanParser(planName, rules).Parse(text, error);
}
