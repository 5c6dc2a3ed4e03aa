// The agent's party of a scenario: a loopback listener that takes the host's hello and answers,
// refuses or stays silent as the scenario has it, then sends its frames and ends its side, while
// a reader beside it takes the host's frames at the scenario's pace.
#pragma once

#include <cstdint>
#include <thread>

#include "record.h"
#include "unique_fd.h"

namespace velmora::scenarios {

// A loopback socket with its port taken but not listening: connections to it are refused.
driver::UniqueFd bound_socket(std::uint16_t& port);

class AgentSide {
 public:
  AgentSide(const Scenario& s, Record& record);
  std::uint16_t port() const { return port_; }

 private:
  void serve(const std::stop_token& stop);
  bool converse(const std::stop_token& stop, driver::UniqueFd& fd);
  template <typename Act>
  void noted_reply(Act&& act);
  void refuse(driver::UniqueFd& fd, std::jthread& reading);
  bool send_frames(const std::stop_token& stop, int fd);
  void end(const std::stop_token& stop, driver::UniqueFd& fd, std::jthread& reading, AgentEnd how);
  static void reset(driver::UniqueFd& fd, std::jthread& reading);

  const Scenario& s_;
  Record& record_;
  driver::UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::jthread thread_;  // last: stopped and joined before the rest goes
};

}  // namespace velmora::scenarios
