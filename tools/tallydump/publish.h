// tallydump --mqtt: the live monitor's link health and the On Air tally
// published to a broker under qorvex/<name>/, as the application does.
#pragma once
#include <cstdint>
#include <string>

#include "mqtt/link_publisher.h"
#include "tools/tallydump/dump.h"

// The publisher the live monitor feeds, if any (set by main before it starts).
MqttLinkPublisher* LivePublisher();
void LiveSetPublisher(MqttLinkPublisher* publisher);

// The link's figures from a live session: state and rate as the monitor line
// shows them, line errors where the driver counts them.
MqttLinkReport DumpLinkReport(DumpSession& session, const std::string& state, double messagesPerSecond,
                              bool lineErrorsKnown, uint64_t lineErrors);
