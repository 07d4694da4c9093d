#include "serial/port_list.h"

#include <algorithm>
#include <cctype>

namespace {

std::string Trim(const std::string& s) {
    size_t first = 0, last = s.size();
    while (first < last && std::isspace(static_cast<unsigned char>(s[first]))) ++first;
    while (last > first && std::isspace(static_cast<unsigned char>(s[last - 1]))) --last;
    return s.substr(first, last - first);
}

}  // namespace

int PortNumberFromName(const std::string& text) {
    const std::string name = Trim(text);
    if (name.size() < 4 || name.size() > 6) return 0;
    for (int i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) return 0;
    // No sign, no leading zero: "COM012" is not a port name.
    if (name[3] == '0') return 0;
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number >= PORT_NUMBER_MIN && number <= PORT_NUMBER_MAX ? number : 0;
}

std::string PortDevicePath(int number) { return "\\\\.\\COM" + std::to_string(number); }

std::vector<PortEntry> PortListMerge(const std::vector<PortDevice>& devices, int keep) {
    std::vector<PortEntry> list;
    auto find = [&list](int number) {
        return std::find_if(list.begin(), list.end(), [number](const PortEntry& e) { return e.number == number; });
    };
    for (const PortDevice& device : devices) {
        const int number = PortNumberFromName(device.name);
        if (number == 0) continue;
        auto it = find(number);
        if (it == list.end()) list.push_back({number, true, Trim(device.friendlyName)});
        else if (it->friendlyName.empty()) it->friendlyName = Trim(device.friendlyName);
    }
    for (int number = 1; number <= PORT_ALWAYS_LISTED; ++number)
        if (find(number) == list.end()) list.push_back({number, false, ""});
    if (keep >= PORT_NUMBER_MIN && keep <= PORT_NUMBER_MAX && find(keep) == list.end())
        list.push_back({keep, false, ""});
    std::sort(list.begin(), list.end(), [](const PortEntry& a, const PortEntry& b) { return a.number < b.number; });
    return list;
}

std::string PortEntryLabel(const PortEntry& entry) {
    const std::string name = "COM" + std::to_string(entry.number);
    if (!entry.present) return name + " (not present)";
    std::string friendly = entry.friendlyName;
    // Windows puts the port's own name at the end of the friendly name.
    const std::string suffix = "(" + name + ")";
    if (friendly.size() >= suffix.size() &&
        friendly.compare(friendly.size() - suffix.size(), suffix.size(), suffix) == 0)
        friendly = Trim(friendly.substr(0, friendly.size() - suffix.size()));
    if (friendly.empty() || friendly == name) return name;
    return name + ": " + friendly;
}
