#include "fleet_plan.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <sstream>
#include <utility>

#include "cli_options.h"
#include "csv_line.h"
#include "exit_status.h"
#include "image_digest.h"
#include "image_file.h"
#include "pelco_command.h"
#include "plan_file.h"
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
constexpr std::array<std::int32_t, 4> kSpeeds = {2400, 4800, 9600, 19200};
constexpr std::size_t kMaxPlanBytes = std::size_t{16} * 1024 * 1024;

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
            case Column::Protocol:
                row.protocolName = Lower(text);
                if (row.protocolName != "pelco-d" && row.protocolName != "pelco-p") {
                    return FailAt(index, "'" + text + "' is not a protocol: pelco-d or pelco-p");
                }
                row.protocolIndex = row.protocolName == "pelco-p" ? PELCO_P : PELCO_D;
                return true;
            case Column::Speed: {
                const bool known =
                    AllDigits(text) && text.size() <= 5 &&
                    std::find(kSpeeds.begin(), kSpeeds.end(), std::stoi(text)) != kSpeeds.end();
                if (!known) {
                    return FailAt(
                        index, "'" + text + "' is not a control speed: 2400, 4800, 9600 or 19200");
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

bool IsAbsolute(const std::string& path) {
    const bool rooted = !path.empty() && (path[0] == '/' || path[0] == '\\');
    const bool drive = path.size() >= 2 && path[1] == ':';
    return rooted || drive;
}

// Images named in a plan are found beside it, wherever the loader was started.
std::string BesidePlan(const std::string& planPath, const std::string& image) {
    const auto slash = planPath.find_last_of("/\\");
    if (IsAbsolute(image) || slash == std::string::npos) {
        return image;
    }
    return planPath.substr(0, slash + 1) + image;
}

bool ReadText(const std::string& path, std::string& text, std::string& error) {
    CPlanFile file;
    std::string reason;
    if (!file.Open(path, CPlanFile::Mode::Read, reason)) {
        error = "Failed to open the plan '" + path + "': " + reason;
        return false;
    }
    if (!file.ReadAll(kMaxPlanBytes, text, reason)) {
        error = "Failed to read the plan '" + path +
                "': " + (reason.empty() ? "it is larger than 16 MiB; is it a plan?" : reason);
        return false;
    }
    return true;
}

// The image at `path` with its SHA-256, read once for all the rows that name it; `own`: the row
// names it (else it is the command line's). Nothing, with `load` saying why, when it cannot be.
std::optional<PlanImage> ReadPlanImage(const std::string& path, bool own,
                                       const std::string& planPath, const PlanRow& row,
                                       PlanLoad& load) {
    ImageFile image = OpenImage(path);
    if (!image.error.empty()) {
        // The command line's image fails as it does without a plan.
        load.exitStatus = own ? exit_status::kUsage : exit_status::kImage;
        load.error = own ? planPath + " line " + std::to_string(row.line) + ", column " +
                               std::to_string(row.imageColumn) + " (image): " + image.error
                         : image.error;
        return std::nullopt;
    }
    PlanImage planned;
    planned.path = path;
    planned.sha256 = Sha256Hex(image.bytes);
    if (planned.sha256.empty()) {
        load.exitStatus = exit_status::kImage;
        load.error = "Failed to compute the SHA-256 of the image '" + path +
                     "' for the report: the system's hash function failed";
        return std::nullopt;
    }
    planned.bytes = std::move(image.bytes);
    return planned;
}

}  // namespace

std::string PlanBusName(const std::string& port) {
    return port == kSimPort ? port : CanonicalPortName(port);
}

std::optional<std::vector<PlanRow>> ParsePlan(const std::string& text, const std::string& planName,
                                              const PlanRules& rules, std::string& error) {
    return PlanParser(planName, rules).Parse(text, error);
}

PlanLoad LoadPlan(const std::string& planPath, const std::string& defaultImage, bool noSwitch) {
    PlanLoad load;
    load.exitStatus = exit_status::kUsage;
    if (const auto control = FindControlCharacter(defaultImage)) {
        // The report names each head's image: its lines must stay one line each.
        load.error = "IMAGE: a control character (" + ControlCharacterName(*control) +
                     ") in the name '" + PrintableText(defaultImage) +
                     "': with --plan the image's name goes into the report; rename the file";
        return load;
    }
    std::string text;
    if (!ReadText(planPath, text, load.error)) {
        return load;
    }
    PlanRules rules;
    rules.noSwitch = noSwitch;
    rules.busOf = PlanBusName;
    auto rows = ParsePlan(text, planPath, rules, load.error);
    if (!rows) {
        return load;
    }
    FleetPlan plan;
    std::map<std::string, std::size_t> indexOf;
    for (PlanRow& row : *rows) {
        const bool own = !row.image.empty();
        if (!own && defaultImage.empty()) {
            load.error = planPath + " line " + std::to_string(row.line) +
                         ": no image: name one in an image column or give IMAGE on the command "
                         "line";
            return load;
        }
        row.image = own ? row.image : defaultImage;
        const std::string path = own ? BesidePlan(planPath, row.image) : defaultImage;
        const auto known = indexOf.find(path);
        if (known != indexOf.end()) {
            row.imageIndex = known->second;
            continue;
        }
        auto planned = ReadPlanImage(path, own, planPath, row, load);
        if (!planned) {
            return load;
        }
        row.imageIndex = plan.images.size();
        indexOf[path] = row.imageIndex;
        plan.images.push_back(std::move(*planned));
    }
    plan.rows = std::move(*rows);
    load.plan = std::move(plan);
    load.exitStatus = exit_status::kSuccess;
    return load;
}
