// The monitor suite's table, published by BrevantMain as "KOVA Brevant Suite" 1.
#pragma once

#include "suite/BrevantMonitorSuite.h"

namespace brevant {
extern const BrevantMonitorSuite1 kMonitorSuite;
}
