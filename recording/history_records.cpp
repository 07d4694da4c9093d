#include "recording/history_records.h"

#include <cstring>

size_t RecordingWriteHistoryEvent(RecordingWriter& writer, const HistoryEvent& event) {
    const uint64_t timeUs = static_cast<uint64_t>(event.timeMs > 0 ? event.timeMs : 0) * 1000;
    const uint8_t length = event.length < HISTORY_EVENT_BYTES ? event.length : HISTORY_EVENT_BYTES;
    uint8_t code[4] = {static_cast<uint8_t>(event.code), static_cast<uint8_t>(event.code >> 8),
                       static_cast<uint8_t>(event.code >> 16), static_cast<uint8_t>(event.code >> 24)};
    // The operator's "Reset Counters" is no received byte: a recording holds
    // what the line brought.
    if (event.kind == EVENT_RESET && event.code == HISTORY_RESET_BY_USER) return 0;
    switch (event.kind) {
    case EVENT_MESSAGE:
    case EVENT_IGNORED:
    case EVENT_RESET:
    case EVENT_STRAY:
    case EVENT_UNKNOWN:
    case EVENT_LOWBYTE:
    case EVENT_PAYLOAD:
    case EVENT_DROPPED: {
        static const uint8_t kinds[] = {RECORD_MESSAGE, RECORD_IGNORED, RECORD_RESET, RECORD_STRAY, RECORD_UNKNOWN,
                                        RECORD_MISMATCH, RECORD_LOWBYTE, RECORD_PAYLOAD, RECORD_DROPPED};
        RecordingWrite(writer, timeUs, kinds[event.kind - EVENT_MESSAGE], 0, event.type, event.bytes, length);
        return 1;
    }
    case EVENT_INCOMPLETE:
        RecordingWrite(writer, timeUs, RECORD_PENDING, 0, event.type, event.bytes, length);
        return 1;
    case EVENT_MISMATCH:
        for (uint8_t i = 0; i < length; ++i) RecordingWrite(writer, timeUs, RECORD_MISMATCH, 0, 0, event.bytes + i, 1);
        return length;
    case EVENT_PORT_ERROR:
    case EVENT_LINE_ERROR:
        RecordingWrite(writer, timeUs, event.kind == EVENT_PORT_ERROR ? RECORD_PORT_ERROR : RECORD_LINE_ERROR, 0, 0,
                       code, sizeof code);
        return 1;
    case EVENT_MODEM:
        RecordingWrite(writer, timeUs, RECORD_MODEM, 0, 0, code, sizeof code);
        return 1;
    case EVENT_CONNECT: {  // the note, "COM1 115200 8N1", is the event's text
        size_t n = 0;
        while (n < HISTORY_EVENT_BYTES && event.bytes[n]) ++n;
        RecordingWrite(writer, timeUs, RECORD_CONNECT, 0, 0, event.bytes, n);
        return 1;
    }
    case EVENT_DISCONNECT:
        RecordingWrite(writer, timeUs, RECORD_DISCONNECT, 0, 0, nullptr, 0);
        return 1;
    case EVENT_LOST:  // the gap: how many events the ring could not take
        RecordingWrite(writer, timeUs, RECORD_LOST, 0, 0, code, sizeof code);
        return 1;
    default:
        return 0;
    }
}
