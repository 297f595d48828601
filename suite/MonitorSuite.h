// The monitor suite's table, published by BrevantMain as "KOVA Brevant Suite" 1.
#pragma once

#include <brevant/monitor.h>

namespace brevant {
extern const BrevantMonitorSuite1 kMonitorSuite;
}
