// tallydump --watch: the watch rules over a recording or a live port, one
// JSON line per alarm on standard output as it is raised, and a one-line
// summary on standard error at the end.
#pragma once
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>
#include <vector>

#include "tools/tallydump/live.h"
#include "watch/watch.h"

// The alarm as one JSON object (no newline): rule, t, time, then the place
// keys that apply (me, level, source, output, glitch, ms, type, count) and text.
std::string WatchAlarmJson(const WatchAlarm& alarm);
// "2026-12-08T03:15:22.117000+01:00": local time of a Unix time in microseconds.
std::string WatchTimeText(uint64_t timeUs);

// "5/10" into 5 errors within 10 seconds; false when it is not N/T with N >= 1 and T > 0.
bool WatchParseErrors(const std::string& text, uint32_t& count, double& seconds);

// Runs the rules over the recording read from in (a raw capture is refused:
// it has no times). Exit status: 0 no alarm, 1 alarms, 2 not a recording.
int WatchRecording(FILE* in, const std::string& inputName, const WatchConfig& config, std::ostream& out,
                   std::ostream& err);
// Runs the rules on a live port until Ctrl-C or SIGTERM, or the port fails
// (a port-lost alarm). Exit status as WatchRecording; 2 for an unusable device.
int WatchPort(const LiveOptions& options, const WatchConfig& config, std::ostream& out, std::ostream& err);

#ifndef _WIN32
// The device opened, locked and in raw mode as tallydump --port opens it
// (defined in live.cpp); -1 with a message.
int LiveOpenDevice(const LiveOptions& options, std::string& error);
#endif
