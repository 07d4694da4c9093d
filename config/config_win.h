// Where qorvex keeps its settings on Windows, and the main window's
// placement.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "config/mqtt_config.h"
#include "config/session_config.h"

// HKCU\Software\<subkey>: integers as REG_DWORD, strings as REG_SZ. A value
// of another type, or a string where a number belongs, reads as absent.
std::unique_ptr<ConfigBackend> ConfigOpenRegistry(const std::string& subkey);
// The [Qorvex] section of an INI file (full path).
std::unique_ptr<ConfigBackend> ConfigOpenIni(const std::string& path);

constexpr const char* CONFIG_REGISTRY_KEY = "Software\\Qorvex";
constexpr const char* CONFIG_INI_NAME = "qorvex.ini";

// qorvex.ini beside the executable when such a file exists (a portable copy),
// otherwise HKCU\Software\Qorvex. `where` receives a description of it.
std::unique_ptr<ConfigBackend> ConfigOpenForExecutable(std::string* where);

// Secrets (the MQTT password) sealed for the Windows user with
// CryptProtectData: only the same user on the same computer unseals them.
const ConfigSecretCodec& ConfigUserSecretCodec();

// The main window's normal rectangle and state, and setting them back (a
// rectangle on no monitor is ignored).
PlacementConfig PlacementFromWindow(HWND window);
void PlacementToWindow(const PlacementConfig& p, HWND window, int showCommand);
