// Starting the host's background threads: detached at once, never joined. A thread the system
// refuses to create stops the process abnormally.
#pragma once

#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "host/report.h"

namespace velmora {

template <typename Body>
void spawn_detached(Body&& body) {
  try {
    std::thread(std::forward<Body>(body)).detach();
  } catch (const std::exception& e) {  // the system's refusal, or no memory for the thread
    abnormal_stop(std::string("velmora-web-host: failed to spawn thread: ") + e.what());
  }
}

}  // namespace velmora
