// tallydump --port DEV --detect: Detect Settings on a live line.
#pragma once
#include <iosfwd>

#include "tools/tallydump/live.h"

// Scans the device through every candidate setting, printing each one's score
// as it goes and then the verdict. Returns 0 when a setting convinces (the
// device is left at it), 1 when none does, the line is silent or Ctrl-C
// stopped it (the device's settings are put back), 2 when the device cannot
// be used.
int LiveDetect(const LiveOptions& options, std::ostream& out, std::ostream& err);
