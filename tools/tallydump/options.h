// tallydump's command line: every option declared in one place with the
// values it accepts, and the checks across options made once after parsing,
// before any file or device is touched.
#pragma once
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "tools/tallydump/asrun.h"
#include "tools/tallydump/dump.h"
#include "tools/tallydump/live.h"
#include "tools/tallydump/publish.h"
#include "tools/tallydump/tsl_live.h"
#include "watch/watch.h"

struct DumpOptions {
    DumpMode mode = DUMP_SUMMARY;
    bool json = false, trace = false, onAir = false;
    std::string input = "-";
    size_t blockSize = READ_BUFFER_SIZE;
    std::string time;             // "", "start" or "wall" as given
    TraceTime traceTime = TRACE_TIME_NONE;
    bool force = false, append = false;
    bool detect = false;          // --port DEV --detect: find the line settings
    std::string tslDecode;        // --tsl-decode FILE: TSL packets in a capture
    LiveOptions live;
    bool asRun = false;           // --as-run: the as-run log of FILE
    std::string fps = "25";       // --fps as given
    AsRunToolOptions asRunOptions;
    MqttLinkSettings mqtt;        // --mqtt: publish to a broker while monitoring --port
    bool watch = false;           // --watch: alarms of the watch rules as JSON lines
    WatchConfig watchConfig;      // its rules and thresholds, filled by DumpCheckOptions
    std::string errors;           // --errors N/T as given
    std::vector<std::string> noRules;
    TslToolOptions tsl;           // --tsl-out, --tsl-in and their settings
};

// Declares the options of tallydump on app, bound to o, with help text,
// accepted values, --version and the exit statuses in the help's footer.
void DumpDeclareOptions(CLI::App& app, DumpOptions& o);

// After a successful parse: fills the derived fields of o and checks what a
// single option cannot (the capture's folder and overwrite rules, the input
// file). False with one line naming the option and what is accepted.
bool DumpCheckOptions(CLI::App& app, DumpOptions& o, std::string& error);
