// Owning wrappers for the descriptors the driver opens: every pipe and socket end is closed
// exactly once, also on early returns and failed assertions.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace velmora::driver {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

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
