#include "tools/tallydump/publish.h"

namespace {
MqttLinkPublisher* livePublisher = nullptr;
}  // namespace

MqttLinkPublisher* LivePublisher() { return livePublisher; }
void LiveSetPublisher(MqttLinkPublisher* publisher) { livePublisher = publisher; }

MqttLinkReport DumpLinkReport(DumpSession& session, const std::string& state, double messagesPerSecond,
                              bool lineErrorsKnown, uint64_t lineErrors) {
    MqttLinkReport r;
    r.state = state;
    r.bytes = session.bytesFed;
    r.messagesPerSecond = messagesPerSecond;
    r.framingErrors = DumpFramingErrors(session);
    r.lineErrorsKnown = lineErrorsKnown;
    r.lineErrors = lineErrors;
    uint64_t messages = 0;
    for (uint64_t count : session.stored) messages += count;
    // tallydump opens its port once: since the connect is since start.
    r.totalBytes = session.bytesFed;
    r.totalMessages = messages;
    r.totalFramingErrors = DumpFramingTotal(session);
    r.totalLineErrors = lineErrors;
    r.unixMs = WallClockMs();
    return r;
}
