// The "MQTT" dialog. Texts go through the W controls as UTF-8, so a user
// name or password beyond ASCII reaches the broker as it was typed.
#include "mqtt/mqtt_dialog.h"

#include <string>

#include "config/dialog_text.h"
#include "mqtt/link_publisher.h"
#include "mqtt/topics.h"
#include "resources/resource.h"

namespace {

struct MqttDialogState {
    MqttConfig* config;
    std::string defaultName;
};

MqttDialogState* State(HWND dialog) {
    return reinterpret_cast<MqttDialogState*>(GetWindowLongPtrA(dialog, DWLP_USER));
}

// Where the topics go with the name as it stands.
void ShowTopic(HWND dialog, const MqttDialogState& s) {
    const std::string name = DialogTextTrimmed(dialog, IDC_MQTT_NAME);
    std::string text;
    if (name.empty()) text = "Topics under " + MqttPrefix(s.defaultName) + "/ (the computer and port)";
    else if (MqttTopicLevel(name) != name) text = "Letters, digits, - _ and . only";
    else text = "Topics under " + MqttPrefix(name) + "/";
    DialogSetText(dialog, IDC_MQTT_TOPIC, text);
}

BOOL OnInit(HWND dialog, MqttDialogState& s) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&s));
    const MqttConfig& c = *s.config;
    CheckDlgButton(dialog, IDC_MQTT_ENABLED, c.enabled ? BST_CHECKED : BST_UNCHECKED);
    SendDlgItemMessageA(dialog, IDC_MQTT_HOST, EM_LIMITTEXT, 253, 0);
    SendDlgItemMessageA(dialog, IDC_MQTT_PORT, EM_LIMITTEXT, 5, 0);
    SendDlgItemMessageA(dialog, IDC_MQTT_NAME, EM_LIMITTEXT, 64, 0);
    SendDlgItemMessageA(dialog, IDC_MQTT_USER, EM_LIMITTEXT, 128, 0);
    SendDlgItemMessageA(dialog, IDC_MQTT_PASSWORD, EM_LIMITTEXT, MQTT_PASSWORD_MAX, 0);
    DialogSetText(dialog, IDC_MQTT_HOST, c.host);
    DialogSetText(dialog, IDC_MQTT_PORT, std::to_string(c.port));
    DialogSetText(dialog, IDC_MQTT_NAME, c.name);
    DialogSetText(dialog, IDC_MQTT_USER, c.user);
    DialogSetText(dialog, IDC_MQTT_PASSWORD, c.password);
    ShowTopic(dialog, s);
    return TRUE;
}

void OnOk(HWND dialog, MqttDialogState& s) {
    MqttConfig c = *s.config;
    c.enabled = IsDlgButtonChecked(dialog, IDC_MQTT_ENABLED) == BST_CHECKED ? 1 : 0;
    c.host = DialogTextTrimmed(dialog, IDC_MQTT_HOST);
    // ES_NUMBER stops typing, not pasting: anything but a number is port 0.
    long long port = 0;
    c.port = ConfigParseInt(DialogTextTrimmed(dialog, IDC_MQTT_PORT), port) && port > 0 && port <= 65535
                 ? static_cast<int>(port)
                 : 0;
    c.name = DialogTextTrimmed(dialog, IDC_MQTT_NAME);
    c.user = DialogText(dialog, IDC_MQTT_USER);
    c.password = DialogText(dialog, IDC_MQTT_PASSWORD);
    std::string message;
    int control = 0;
    if (!MqttDialogCheck(c, message, control)) {
        DialogSetText(dialog, IDC_MQTT_TOPIC, message);
        MessageBoxA(dialog, message.c_str(), "MQTT", MB_ICONWARNING);
        HWND wrong = GetDlgItem(dialog, control);
        SetFocus(wrong);
        SendMessageA(wrong, EM_SETSEL, 0, -1);
        return;
    }
    *s.config = c;
    EndDialog(dialog, IDOK);
}

}  // namespace

bool MqttDialogCheck(const MqttConfig& c, std::string& message, int& control) {
    // A broker may be kept while publishing is off; an empty one only then.
    if (c.host.empty() && c.enabled) {
        message = "Enter the broker's host name or address.";
        control = IDC_MQTT_HOST;
        return false;
    }
    if (c.port < 1 || c.port > 65535) {
        message = "The broker's port is a number from 1 to 65535 (1883 is usual).";
        control = IDC_MQTT_PORT;
        return false;
    }
    if (c.password.size() > MQTT_PASSWORD_MAX) {
        message = "The password is too long to keep (" + std::to_string(MQTT_PASSWORD_MAX) + " bytes at most).";
        control = IDC_MQTT_PASSWORD;
        return false;
    }
    if (!c.name.empty() && MqttTopicLevel(c.name) != c.name) {
        message = "The name is one topic level: letters, digits, '-', '_' and '.' only.";
        control = IDC_MQTT_NAME;
        return false;
    }
    if (!c.host.empty()) {
        MqttLinkSettings settings;
        settings.broker = MqttConfigBroker(c);
        settings.name = c.name;
        std::string error;
        if (!MqttCheckSettings(settings, error)) {
            message = "The broker: " + error;
            control = IDC_MQTT_HOST;
            return false;
        }
    }
    return true;
}

INT_PTR CALLBACK MqttDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInit(dialog, *reinterpret_cast<MqttDialogState*>(lParam));
    case WM_COMMAND: {
        MqttDialogState* s = State(dialog);
        if (!s) return FALSE;
        switch (LOWORD(wParam)) {
        case IDC_MQTT_NAME:
            if (HIWORD(wParam) == EN_CHANGE) ShowTopic(dialog, *s);
            return TRUE;
        case IDOK:
            OnOk(dialog, *s);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    }
    }
    return FALSE;
}

bool MqttDialogRun(HWND owner, MqttConfig& config, const std::string& defaultName) {
    MqttDialogState state = {&config, defaultName};
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(owner, GWLP_HINSTANCE));
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MQTT), owner, MqttDialogProc,
                           reinterpret_cast<LPARAM>(&state)) == IDOK;
}
