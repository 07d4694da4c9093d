// The registry and INI stores and the session's settings on Windows.
#include "config/config_win.h"

#include <cstring>

namespace {

class RegistryBackend final : public ConfigBackend {
public:
    explicit RegistryBackend(const std::string& subkey) : subkey_(subkey) {}
    ~RegistryBackend() override {
        if (key_) RegCloseKey(key_);
    }
    bool ReadInt(const std::string& name, long long& value) override {
        DWORD type = 0, data = 0, size = sizeof data;
        if (!Open(false) || RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data),
                                             &size) != ERROR_SUCCESS)
            return false;
        if (type != REG_DWORD || size != sizeof data) return false;
        value = static_cast<LONG>(data);  // stored as a signed 32-bit number
        return true;
    }
    bool ReadString(const std::string& name, std::string& value) override {
        DWORD type = 0, size = 0;
        if (!Open(false) || RegQueryValueExA(key_, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            return false;
        if (type != REG_SZ || size > 4096) return false;
        std::string data(size, '\0');
        if (RegQueryValueExA(key_, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
            ERROR_SUCCESS)
            return false;
        data.resize(size);
        while (!data.empty() && data.back() == '\0') data.pop_back();
        value = data;
        return true;
    }
    bool WriteInt(const std::string& name, long long value) override {
        const DWORD data = static_cast<DWORD>(static_cast<LONG>(value));
        return Open(true) && RegSetValueExA(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                            sizeof data) == ERROR_SUCCESS;
    }
    bool WriteString(const std::string& name, const std::string& value) override {
        return Open(true) && RegSetValueExA(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                            static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    }

private:
    // Reading never creates the key; the first write does.
    bool Open(bool create) {
        if (key_ && (writable_ || !create)) return true;
        if (key_) {
            RegCloseKey(key_);
            key_ = nullptr;
        }
        LONG rc = create ? RegCreateKeyExA(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                                           nullptr, &key_, nullptr)
                         : RegOpenKeyExA(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_READ, &key_);
        if (rc != ERROR_SUCCESS) {
            key_ = nullptr;
            return false;
        }
        writable_ = create;
        return true;
    }
    std::string subkey_;
    HKEY key_ = nullptr;
    bool writable_ = false;
};

class IniBackend final : public ConfigBackend {
public:
    explicit IniBackend(const std::string& path) : path_(path) {}
    bool ReadInt(const std::string& name, long long& value) override {
        std::string text;
        return ReadString(name, text) && ConfigParseInt(text, value);
    }
    bool ReadString(const std::string& name, std::string& value) override {
        // A default no value can hold tells an absent key from an empty one.
        const char* absent = "\x01";
        char buffer[1024];
        GetPrivateProfileStringA(SECTION, name.c_str(), absent, buffer, sizeof buffer, path_.c_str());
        if (std::strcmp(buffer, absent) == 0) return false;
        value = buffer;
        return true;
    }
    bool WriteInt(const std::string& name, long long value) override {
        return WriteString(name, std::to_string(value));
    }
    bool WriteString(const std::string& name, const std::string& value) override {
        return WritePrivateProfileStringA(SECTION, name.c_str(), value.c_str(), path_.c_str()) != FALSE;
    }

private:
    static constexpr const char* SECTION = "Qorvex";
    std::string path_;
};

}  // namespace

std::unique_ptr<ConfigBackend> ConfigOpenRegistry(const std::string& subkey) {
    return std::unique_ptr<ConfigBackend>(new RegistryBackend(subkey));
}

std::unique_ptr<ConfigBackend> ConfigOpenIni(const std::string& path) {
    return std::unique_ptr<ConfigBackend>(new IniBackend(path));
}

std::unique_ptr<ConfigBackend> ConfigOpenForExecutable(std::string* where) {
    char exe[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::string ini(exe, length);
        const size_t slash = ini.find_last_of("\\/");
        ini = (slash == std::string::npos ? std::string() : ini.substr(0, slash + 1)) + CONFIG_INI_NAME;
        const DWORD attributes = GetFileAttributesA(ini.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            if (where) *where = ini;
            return ConfigOpenIni(ini);
        }
    }
    if (where) *where = std::string("HKEY_CURRENT_USER\\") + CONFIG_REGISTRY_KEY;
    return ConfigOpenRegistry(CONFIG_REGISTRY_KEY);
}

PortConfig PortConfigFromSession(const SessionState& s, bool reconnect) {
    PortConfig c;
    c.portNumber = s.portNumber;
    c.baudRate = s.baudRate;
    c.dataBits = s.dataBits;
    c.parity = s.parity;
    c.stopBits = s.stopBits;
    c.flowFlags = s.flowFlags;
    c.autowrap = s.autowrap ? 1 : 0;
    c.newLine = s.newLine ? 1 : 0;
    c.localEcho = s.localEcho ? 1 : 0;
    c.displayErrors = s.displayErrors ? 1 : 0;
    c.reconnect = reconnect ? 1 : 0;
    return c;
}

void PortConfigToSession(const PortConfig& c, SessionState& s) {
    s.portNumber = static_cast<WORD>(c.portNumber);
    s.baudRate = c.baudRate;
    s.dataBits = static_cast<BYTE>(c.dataBits);
    s.parity = static_cast<BYTE>(c.parity);
    s.stopBits = static_cast<BYTE>(c.stopBits);
    s.flowFlags = static_cast<BYTE>(c.flowFlags);
    s.autowrap = c.autowrap;
    s.newLine = c.newLine;
    s.localEcho = c.localEcho;
    s.displayErrors = c.displayErrors;
}

FontConfig FontConfigFromSession(const SessionState& s) {
    FontConfig c;
    const LOGFONTA& f = s.logFont;
    c.height = f.lfHeight;
    c.width = f.lfWidth;
    c.weight = f.lfWeight;
    c.italic = f.lfItalic ? 1 : 0;
    c.underline = f.lfUnderline ? 1 : 0;
    c.strikeOut = f.lfStrikeOut ? 1 : 0;
    c.charSet = f.lfCharSet;
    c.pitchAndFamily = f.lfPitchAndFamily;
    c.face.assign(f.lfFaceName, strnlen(f.lfFaceName, LF_FACESIZE));
    c.colour = s.textColour & 0xFFFFFF;
    return c;
}

void FontConfigToSession(const FontConfig& c, SessionState& s) {
    LOGFONTA& f = s.logFont;
    f.lfHeight = c.height;
    f.lfWidth = c.width;
    f.lfWeight = c.weight;
    f.lfItalic = static_cast<BYTE>(c.italic);
    f.lfUnderline = static_cast<BYTE>(c.underline);
    f.lfStrikeOut = static_cast<BYTE>(c.strikeOut);
    f.lfCharSet = static_cast<BYTE>(c.charSet);
    f.lfPitchAndFamily = static_cast<BYTE>(c.pitchAndFamily);
    std::memset(f.lfFaceName, 0, sizeof f.lfFaceName);
    std::strncpy(f.lfFaceName, c.face.c_str(), LF_FACESIZE - 1);
    s.textColour = c.colour;
}

PlacementConfig PlacementFromWindow(HWND window) {
    PlacementConfig p;
    WINDOWPLACEMENT wp = {};
    wp.length = sizeof wp;
    if (!GetWindowPlacement(window, &wp)) return p;
    p.saved = true;
    p.left = wp.rcNormalPosition.left;
    p.top = wp.rcNormalPosition.top;
    p.right = wp.rcNormalPosition.right;
    p.bottom = wp.rcNormalPosition.bottom;
    p.maximized = wp.showCmd == SW_SHOWMAXIMIZED ? 1 : 0;
    return p;
}

void PlacementToWindow(const PlacementConfig& p, HWND window, int showCommand) {
    if (!p.saved) return;
    RECT r = {p.left, p.top, p.right, p.bottom};
    // A monitor unplugged since: let the window open where the system puts it.
    if (!MonitorFromRect(&r, MONITOR_DEFAULTTONULL)) return;
    WINDOWPLACEMENT wp = {};
    wp.length = sizeof wp;
    GetWindowPlacement(window, &wp);
    wp.rcNormalPosition = r;
    wp.flags = 0;
    // A minimised start (a shortcut's "Run: Minimised") is kept; otherwise the
    // window opens as it was left.
    if (showCommand == SW_SHOWMINNOACTIVE || showCommand == SW_MINIMIZE || showCommand == SW_SHOWMINIMIZED)
        wp.showCmd = static_cast<UINT>(showCommand);
    else
        wp.showCmd = p.maximized ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL;
    SetWindowPlacement(window, &wp);
}
