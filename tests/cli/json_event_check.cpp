#include "json_event_check.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "process_runner.h"

namespace {

struct Field {
    std::string type;  // string, integer, boolean, array
    bool always = false;
};
using Shape = std::map<std::string, Field>;  // by field name

struct Interface {
    std::map<std::string, Shape> events;
    Shape head;  // the items of the run's result's heads
};

// The tables of the document: "## Event `name`" or "## Object `head`", then rows
// "| `field` | type | presence | meaning |".
Interface ReadInterface() {
    std::ifstream in(PTZ_JSON_EVENTS_DOC);
    std::stringstream text;
    text << in.rdbuf();
    const std::regex heading(R"re(^## (Event|Object) `([a-z_]+)`)re");
    const std::regex row(R"re(^\| `([a-z_]+)` \| ([a-z]+) \| ([^|]*[^| ]) \|)re");
    Interface interface;
    Shape* shape = nullptr;
    for (const std::string& line : Lines(text.str())) {
        std::smatch match;
        if (std::regex_search(line, match, heading)) {
            shape = match[1] == "Event" ? &interface.events[match[2]] : &interface.head;
        } else if (shape != nullptr && std::regex_search(line, match, row)) {
            (*shape)[match[1]] = Field{match[2], match[3] == "always"};
        }
    }
    return interface;
}

bool HasType(const nlohmann::json& value, const std::string& type) {
    return (type == "string" && value.is_string()) ||
           (type == "integer" && value.is_number_integer()) ||
           (type == "boolean" && value.is_boolean()) || (type == "array" && value.is_array());
}

void CheckShape(const nlohmann::json& object, const Shape& shape, const std::string& where,
                std::vector<std::string>& problems) {
    for (const auto& [name, value] : object.items()) {
        const auto field = shape.find(name);
        if (field == shape.end()) {
            problems.push_back(where + ": field '" + name + "' is not documented");
        } else if (!HasType(value, field->second.type)) {
            problems.push_back(where + ": field '" + name + "' is not of type " +
                               field->second.type);
        }
    }
    for (const auto& [name, field] : shape) {
        if (field.always && !object.contains(name)) {
            problems.push_back(where + ": field '" + name + "' is missing");
        }
    }
}

}  // namespace

std::vector<std::string> UndocumentedJson(const std::string& out) {
    static const Interface interface = ReadInterface();
    std::vector<std::string> problems;
    if (interface.events.empty()) {
        return {std::string("no events documented in ") + PTZ_JSON_EVENTS_DOC};
    }
    for (const std::string& line : Lines(out)) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        if (!object.is_object() || !object.contains("event") || !object["event"].is_string()) {
            problems.push_back("not a JSON event: " + line);
            continue;
        }
        const auto event = interface.events.find(object["event"].get<std::string>());
        if (event == interface.events.end()) {
            problems.push_back("undocumented event: " + line);
            continue;
        }
        CheckShape(object, event->second, line, problems);
        for (const nlohmann::json& head : object.value("heads", nlohmann::json::array())) {
            CheckShape(head, interface.head, line + " (a head)", problems);
        }
    }
    return problems;
}

std::set<std::string> EventsIn(const std::string& out) {
    std::set<std::string> events;
    for (const std::string& line : Lines(out)) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        if (object.is_object() && object.contains("event") && object["event"].is_string()) {
            events.insert(object["event"].get<std::string>());
        }
    }
    return events;
}

std::set<std::string> DocumentedEvents() {
    std::set<std::string> events;
    for (const auto& event : ReadInterface().events) {
        events.insert(event.first);
    }
    return events;
}
