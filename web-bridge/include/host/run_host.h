// The run sequence: the whole life of the host process from start to end.
#pragma once

#include <expected>

#include "errors.h"

namespace velmora {

// Succeeds only on the launch path; the ordinary path ends by an error or by another thread
// ending the process.
std::expected<void, HostError> run_host();

}  // namespace velmora
