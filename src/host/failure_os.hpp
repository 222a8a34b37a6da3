// Host-internal: what each platform's half of failure.cpp gives the portable half. Nothing
// outside src/host/failure*.cpp includes this header.
#pragma once

#include "host/failure.hpp"

namespace host {

// The cause a system error code stands for; "other" for one the table does not name.
Cause cause_of_system_code(int system_code);

// The system's own text for the code, without a line end or a final full stop; empty when the
// system has none.
Text system_message(int system_code);

}  // namespace host
