#include <winsock2.h>

#include "system/read_limit.h"

namespace velmora::doctor::system {

bool limit_reads(const platform::Socket& socket, std::chrono::milliseconds limit) {
  if (limit.count() < 1) return false;  // to the system a bound of 0 is none
  DWORD bound = static_cast<DWORD>(limit.count());
  return setsockopt(static_cast<SOCKET>(socket.native()), SOL_SOCKET, SO_RCVTIMEO,
                    reinterpret_cast<const char*>(&bound), sizeof bound) == 0;
}

}  // namespace velmora::doctor::system
