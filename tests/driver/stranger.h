// A loopback listener of another user, as anyone on a shared machine can make one: a child
// process that takes the uid and gid 65534 (nobody) before it creates its socket, since a socket
// belongs to whoever created it. It accepts every connection and reads all it is sent. Needs root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>

#include "deadline.h"

namespace velmora::driver {

class Stranger {
 public:
  static constexpr uid_t kNobody = 65534;
  struct Counts;  // shared with the child

  static std::expected<Stranger, std::string> start();
  Stranger(Stranger&& other) noexcept;
  Stranger& operator=(Stranger&&) = delete;
  ~Stranger();  // kills the child

  std::uint16_t port() const;
  // True once `count` connections have been accepted within `limit`.
  bool wait_for_connections(std::size_t count, Duration limit) const;
  std::size_t connections() const;
  // Bytes received over all connections so far.
  std::size_t bytes_received() const;

 private:
  struct Unmap {
    void operator()(Counts* counts) const;
  };
  Stranger(pid_t pid, std::unique_ptr<Counts, Unmap> counts);

  pid_t pid_ = -1;
  std::unique_ptr<Counts, Unmap> counts_;
};

}  // namespace velmora::driver
