// lwevtrec_internal: the platform backend behind the event-log source, for
// the tests that put stand-ins in place of some of its calls.
#pragma once

#include "lwatch/lwevtrec.h"

// The Windows build's backend over the event-log service, the registry and
// message modules (defined by lwsource_eventlog.cpp, in that build only).
const lwevtrec_backend* lwsource_eventlog_backend();
