// tallydump --as-run: the as-run log of a recording or a raw capture, as CSV
// or (--edl ME) as a CMX 3600 list. The bytes go through the same event
// source and timeline index as in the application, so both write the same.
#pragma once
#include <cstdio>
#include <iosfwd>
#include <string>

#include "timeline/asrun.h"

struct AsRunToolOptions {
    int edlMe = 0;          // 1..4 for a list of that ME; 0 for the CSV
    AsRunFps fps = FPS_25;
    long baud = 115200;     // a raw capture's line rate, for times from byte offsets
};

// A raw capture holds no times: byte n arrived when its ten bits (start, eight
// data, stop) had passed at `baud`, counted from the first byte.
int64_t AsRunCaptureMs(uint64_t bytesEnded, long baud);

// Reads the whole input and writes the log to out. Returns 0, or 2 when the
// input cannot be read or is a damaged recording (message on err).
int DumpAsRun(FILE* in, const std::string& inputName, const AsRunToolOptions& options, std::ostream& out,
              std::ostream& err);
