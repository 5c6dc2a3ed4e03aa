// One run of a registered host, started as the browsers that name it would start it.
#pragma once

#include <string_view>

#include "checks.h"
#include "registrations.h"

namespace velmora::doctor {

// Starts the host as the browsers named would and says what came of it; true when it linked.
bool examine_host_run(const UsableHost& usable, std::string_view browsers, bool agent_failed,
                      Checks& checks);

}  // namespace velmora::doctor
