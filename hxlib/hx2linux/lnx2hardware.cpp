#include "lnx2hardware.h"

LNX2Hardware::LNX2Hardware() = default;
