// The "MQTT" dialog (Network -> MQTT...): broker host and port, the link's
// name, user, password and whether to publish. Win32 glue over the saved
// settings' record; it checks what it is given and saves nothing itself.
#pragma once
#include <windows.h>

#include <string>

#include "config/mqtt_config.h"

// Modal over owner. `defaultName` is what an empty name stands for
// ("GALLERY2-COM3"), shown under the name. True when the operator chose OK
// with values that check; `config` then holds them. Cancel leaves it alone.
bool MqttDialogRun(HWND owner, MqttConfig& config, const std::string& defaultName);

// False with the message for the operator and the control to put right.
bool MqttDialogCheck(const MqttConfig& config, std::string& message, int& control);

INT_PTR CALLBACK MqttDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
