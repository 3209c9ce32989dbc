// Platform half of the host, used only by kservice.cpp: process id, the
// foreground and service run modes with their stop signals, and the service
// manager's readiness protocol.
#pragma once

#include <cstdint>

#include "host/kservice.h"

uint32_t kservice_sys_pid();
// 1 when the service manager started this process.
int kservice_sys_started_by_manager();
// Runs init, run and cleanup in the foreground; interrupt, terminate and
// hang-up signals call stop. Returns run's result (or init's failure).
int kservice_sys_console(kservice_app* app);
// The service main: reports readiness, changes to module_dir, runs the
// application between its banners, reports stopping on the stop signal.
int kservice_sys_service(kservice_app* app);
