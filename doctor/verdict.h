// Everything the doctor checks, in order, and the last line per browser: whether it can use the
// host, which the exit status follows.
#pragma once

#include "checks.h"
#include "registrations.h"

namespace velmora::doctor {

// Everything, in order, for the current user.
Checks examine_all(const Expected& expected);

}  // namespace velmora::doctor
