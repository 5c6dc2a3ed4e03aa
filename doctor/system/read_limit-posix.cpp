#include <sys/socket.h>
#include <sys/time.h>

#include "system/read_limit.h"

namespace velmora::doctor::system {

bool limit_reads(const platform::Socket& socket, std::chrono::milliseconds limit) {
  if (limit.count() < 1) return false;  // to the system a bound of 0 is none
  timeval bound{static_cast<time_t>(limit.count() / 1000),
                static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  return setsockopt(static_cast<int>(socket.native()), SOL_SOCKET, SO_RCVTIMEO, &bound,
                    sizeof bound) == 0;
}

}  // namespace velmora::doctor::system
