// Saved settings held in memory for tests, in the two shapes the stores have.
#pragma once
#include <map>
#include <string>

#include "config/config_values.h"

// As an INI file: every value is text; an integer is read by parsing it.
// Counts writes, so a test can see that only changes are written.
class MemoryIni : public ConfigBackend {
public:
    std::map<std::string, std::string> values;
    int writes = 0;
    bool ReadInt(const std::string& name, long long& value) override {
        auto it = values.find(name);
        return it != values.end() && ConfigParseInt(it->second, value);
    }
    bool ReadString(const std::string& name, std::string& value) override {
        auto it = values.find(name);
        if (it == values.end()) return false;
        value = it->second;
        return true;
    }
    bool WriteInt(const std::string& name, long long value) override {
        ++writes;
        values[name] = std::to_string(value);
        return true;
    }
    bool WriteString(const std::string& name, const std::string& value) override {
        ++writes;
        values[name] = value;
        return true;
    }
};

// As the registry: numbers and texts kept apart; a value stored as text is
// corrupt for a number.
class MemoryConfig : public ConfigBackend {
public:
    std::map<std::string, long long> ints;
    std::map<std::string, std::string> strings;
    bool ReadInt(const std::string& name, long long& value) override {
        auto it = ints.find(name);
        if (it == ints.end()) return false;
        value = it->second;
        return true;
    }
    bool ReadString(const std::string& name, std::string& value) override {
        auto it = strings.find(name);
        if (it == strings.end()) return false;
        value = it->second;
        return true;
    }
    bool WriteInt(const std::string& name, long long value) override {
        strings.erase(name);
        ints[name] = value;
        return true;
    }
    bool WriteString(const std::string& name, const std::string& value) override {
        ints.erase(name);
        strings[name] = value;
        return true;
    }
};
