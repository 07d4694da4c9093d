#include "history/event.h"

const char* HistoryEventName(int kind) {
    static const char* const names[EVENT_KIND_COUNT] = {
        "message", "ignored", "reset", "stray", "unknown", "mismatch", "lowbyte", "payload",
        "dropped", "port-error", "line-error", "connect", "disconnect", "silent", "receiving", "lost",
        "incomplete", "alarm", "replay", "gap", "modem", "hub"};
    return kind >= 0 && kind < EVENT_KIND_COUNT ? names[kind] : "?";
}
