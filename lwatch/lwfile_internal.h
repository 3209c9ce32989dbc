// lwfile_internal: what the tests count behind lwfile.h.
#pragma once

#include <cstdint>

// Files held open between scans in this process.
uint32_t lwfile_held_count();
