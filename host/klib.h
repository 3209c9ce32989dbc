// Library start-up and clean-up: runs the foundation modules' process-wide
// start-up in a fixed order before anything else and their clean-up in
// reverse after everything else. klib_init prints one line and returns the
// module's code on the first failure; 0 when every module started.
#pragma once

#include <cstdint>

uint32_t klib_init();
void klib_cleanup();
