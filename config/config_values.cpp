#include "config/config_values.h"

#include <cctype>

namespace {
ConfigBackend* activeBackend = nullptr;
}

bool ConfigParseInt(const std::string& text, long long& value) {
    size_t i = 0, end = text.size();
    while (i < end && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    while (end > i && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    bool negative = false;
    if (i < end && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == end || end - i > 18) return false;
    long long v = 0;
    for (; i < end; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
        v = v * 10 + (text[i] - '0');
    }
    value = negative ? -v : v;
    return true;
}

bool ConfigIntValid(const ConfigIntKey& key, long long value) {
    if (value < key.min || value > key.max) return false;
    if (!key.allowed) return true;
    for (size_t i = 0; i < key.allowedCount; ++i)
        if (key.allowed[i] == value) return true;
    return false;
}

long long ConfigGet(ConfigBackend* backend, const ConfigIntKey& key) {
    long long value = 0;
    if (backend && backend->ReadInt(key.name, value) && ConfigIntValid(key, value)) return value;
    return key.def;
}

std::string ConfigGet(ConfigBackend* backend, const ConfigStringKey& key) {
    std::string value;
    if (backend && backend->ReadString(key.name, value) && value.size() <= key.maxLength &&
        value.find('\0') == std::string::npos)
        return value;
    return key.def;
}

bool ConfigSet(ConfigBackend* backend, const ConfigIntKey& key, long long value) {
    return backend && ConfigIntValid(key, value) && backend->WriteInt(key.name, value);
}

bool ConfigSet(ConfigBackend* backend, const ConfigStringKey& key, const std::string& value) {
    return backend && value.size() <= key.maxLength && value.find('\0') == std::string::npos &&
           backend->WriteString(key.name, value);
}

ConfigBackend* ConfigActive() { return activeBackend; }
void ConfigSetActive(ConfigBackend* backend) { activeBackend = backend; }

int ConfigGetInt(const char* name, int def, int min, int max) {
    return static_cast<int>(ConfigGet(activeBackend, ConfigIntKey{name, def, min, max}));
}

bool ConfigSetInt(const char* name, int value, int min, int max) {
    return ConfigSet(activeBackend, ConfigIntKey{name, value, min, max}, value);
}

std::string ConfigGetString(const char* name, const std::string& def, size_t maxLength) {
    std::string value;
    if (activeBackend && activeBackend->ReadString(name, value) && value.size() <= maxLength) return value;
    return def;
}

bool ConfigSetString(const char* name, const std::string& value, size_t maxLength) {
    return ConfigSet(activeBackend, ConfigStringKey{name, "", maxLength}, value);
}
