// The registry and INI stores and the session's settings on Windows.
#include "config/config_win.h"

#include <wincrypt.h>

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

namespace {

bool Seal(const std::string& clear, std::string& sealed) {
    DATA_BLOB in = {static_cast<DWORD>(clear.size()), reinterpret_cast<BYTE*>(const_cast<char*>(clear.data()))};
    DATA_BLOB out = {};
    if (!CryptProtectData(&in, L"Qorvex", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return false;
    sealed.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return true;
}

bool Unseal(const std::string& sealed, std::string& clear) {
    DATA_BLOB in = {static_cast<DWORD>(sealed.size()), reinterpret_cast<BYTE*>(const_cast<char*>(sealed.data()))};
    DATA_BLOB out = {};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) return false;
    clear.assign(reinterpret_cast<const char*>(out.pbData), out.cbData);
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return true;
}

}  // namespace

const ConfigSecretCodec& ConfigUserSecretCodec() {
    static const ConfigSecretCodec codec = {Seal, Unseal};
    return codec;
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
    RECT saved = {p.left, p.top, p.right, p.bottom};
    // On the nearest monitor's work area, whole: a rectangle saved on a
    // monitor unplugged since, or far off every one, would otherwise open
    // out of sight (and be saved so again).
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    PlacementConfig clamped = p;
    if (GetMonitorInfoA(MonitorFromRect(&saved, MONITOR_DEFAULTTONEAREST), &monitor))
        clamped = PlacementClamp(p, monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right,
                                 monitor.rcWork.bottom);
    RECT r = {clamped.left, clamped.top, clamped.right, clamped.bottom};
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
