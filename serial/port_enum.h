// The serial devices Windows reports now: HKLM\HARDWARE\DEVICEMAP\SERIALCOMM,
// with friendly names from the setup API where it has them.
#pragma once
#include <vector>

#include "serial/port_list.h"

std::vector<PortDevice> PortEnumSystem();
