// Starting the host's background threads: detached at once, never joined. A thread the system
// refuses to create stops the process abnormally.
#pragma once

#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "errors.h"

namespace velmora {

template <typename Body>
void spawn_detached(Body&& body) {
  try {
    std::thread(std::forward<Body>(body)).detach();
  } catch (const std::system_error& e) {
    abnormal_stop(std::string("velmora-web-host: failed to spawn thread: ") + e.what());
  }
}

}  // namespace velmora
