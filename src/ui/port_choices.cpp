#include "port_choices.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "port_names.h"

namespace {

constexpr unsigned long kListedPorts = 10;
// COM port numbers of Windows stay far below this; a longer number is no COM port.
constexpr std::size_t kMostDigits = 6;

std::optional<unsigned long> ComNumber(const std::string& name) {
    const auto digits = name.size() > 3 ? name.size() - 3 : 0;
    if (digits == 0 || digits > kMostDigits || name[3] == '0') {
        return std::nullopt;
    }
    const auto upper = [](char ch) { return std::toupper(static_cast<unsigned char>(ch)); };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M' ||
        !std::all_of(name.begin() + 3, name.end(),
                     [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)) != 0; })) {
        return std::nullopt;
    }
    return std::stoul(name.substr(3));
}

}  // namespace

std::vector<std::string> PortChoicesAfterCom10(const std::vector<std::string>& present) {
    std::vector<unsigned long> numbers;
    for (const std::string& name : present) {
        const auto number = ComNumber(name);
        if (number && *number > kListedPorts) {
            numbers.push_back(*number);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<std::string> names;
    names.reserve(numbers.size());
    for (const unsigned long number : numbers) {
        names.push_back("COM" + std::to_string(number));
    }
    return names;
}

std::vector<std::string> ExtraPortChoices() {
    return PortChoicesAfterCom10(PresentPortNames());
}
