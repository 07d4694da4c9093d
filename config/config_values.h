// Saved settings, free of any platform header: a small typed API over a
// store of named values (the registry key or the INI file; memory in tests).
// Every read checks its value and falls back to the default on its own, so a
// missing, partial, out-of-range or corrupt store never stops the program.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Where the values live. Reads return false when the value is absent or not
// readable as that kind (a corrupt value reads as absent).
class ConfigBackend {
public:
    virtual ~ConfigBackend() = default;
    virtual bool ReadInt(const std::string& name, long long& value) = 0;
    virtual bool ReadString(const std::string& name, std::string& value) = 0;
    virtual bool WriteInt(const std::string& name, long long value) = 0;
    virtual bool WriteString(const std::string& name, const std::string& value) = 0;
};

// A whole decimal integer with an optional sign and surrounding blanks, no
// more than 18 digits; false for anything else ("12abc", "", "0x10").
bool ConfigParseInt(const std::string& text, long long& value);

// A named integer: its default and the range it must lie in; when `allowed`
// is set, the value must also be one of its `allowedCount` entries.
struct ConfigIntKey {
    const char* name;
    long long def;
    long long min;
    long long max;
    const long long* allowed = nullptr;
    size_t allowedCount = 0;
};

// A named string with its default and longest accepted length (bytes).
struct ConfigStringKey {
    const char* name;
    const char* def;
    size_t maxLength;
};

bool ConfigIntValid(const ConfigIntKey& key, long long value);

// The stored value, or the key's default when it is absent, corrupt or out of
// range. A null backend reads every default.
long long ConfigGet(ConfigBackend* backend, const ConfigIntKey& key);
std::string ConfigGet(ConfigBackend* backend, const ConfigStringKey& key);
// Stores a valid value; false (nothing written) for an invalid one or a
// failed write.
bool ConfigSet(ConfigBackend* backend, const ConfigIntKey& key, long long value);
bool ConfigSet(ConfigBackend* backend, const ConfigStringKey& key, const std::string& value);

// The store the application saves to, chosen at start; null when nothing is
// saved (tests that build the window themselves).
ConfigBackend* ConfigActive();
void ConfigSetActive(ConfigBackend* backend);

// Shorthand for other parts of the program (the history's view and filters):
// a named value of the active store, with its default and range.
int ConfigGetInt(const char* name, int def, int min, int max);
bool ConfigSetInt(const char* name, int value, int min, int max);
std::string ConfigGetString(const char* name, const std::string& def, size_t maxLength);
bool ConfigSetString(const char* name, const std::string& value, size_t maxLength);
