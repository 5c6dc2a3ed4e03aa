// Owning wrappers for the descriptors the driver opens: every pipe and socket end is closed
// exactly once, also on early returns and failed assertions.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include "platform/unique_fd-posix.h"

namespace velmora::driver {

// The host's own owning descriptor type: the driver links no part of the host, only this header.
using UniqueFd = platform::UniqueFd;

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// Both ends are close-on-exec, so a child only ever gets the ends that are moved onto its
// standard descriptors.
std::expected<Pipe, std::string> make_pipe();

std::expected<void, std::string> set_nonblocking(int fd);

// "what: strerror(errno)", for the error values of the driver.
std::string os_failure(const char* what);

}  // namespace velmora::driver
