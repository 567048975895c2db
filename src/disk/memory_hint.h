#pragma once
// Hints to the system about large buffers of disk data, kept with the device layer so
// that engines call no platform functions themselves.

#include <cstddef>

namespace velk {

// Asks the system to back a large buffer with huge pages (a hint; no-op where unsupported).
void adviseHugePages(void* p, size_t bytes);

}  // namespace velk
