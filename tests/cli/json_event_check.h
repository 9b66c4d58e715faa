// ptz-upgrade's --json lines against the interface documented in docs/json-events.md: the test
// reads the document itself, so that the document and the program cannot drift apart.
#pragma once

#include <set>
#include <string>
#include <vector>

// What is wrong with each line of `out` (one JSON object per line), empty when every line is
// a documented event with documented fields of the documented types and none missing.
std::vector<std::string> UndocumentedJson(const std::string& out);

// The names of the events `out` holds, and of those documented.
std::set<std::string> EventsIn(const std::string& out);
std::set<std::string> DocumentedEvents();
