// The extension's party of a scenario: a writer that sends the first message and the frames
// into the host's input and ends it as the scenario has it, and a reader that takes the host's
// output at the scenario's pace.
#pragma once

#include <thread>

#include "record.h"

namespace velmora::scenarios {

class ExtensionSide {
 public:
  ExtensionSide(const Scenario& s, Record& record, driver::HostProcess& host,
                driver::Duration startup);

  // Once the host has ended: everything left on its output.
  void drain();

 private:
  bool send(const std::stop_token& stop, std::string_view bytes);
  bool send_all_frames(const std::stop_token& stop);
  void write(const std::stop_token& stop);
  void given_up(const std::stop_token& stop);
  void close_now(const std::stop_token& stop);
  void read(const std::stop_token& stop);

  const Scenario& s_;
  Record& record_;
  driver::HostProcess& host_;
  driver::Duration late_;
  std::jthread writer_, reader_;
};

}  // namespace velmora::scenarios
