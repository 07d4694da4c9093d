#include "displays/framework.h"

ActiveDisplayRecord ActiveDisplay = {nullptr, 0};
