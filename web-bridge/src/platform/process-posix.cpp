#include <unistd.h>

#include "platform/process.h"

namespace velmora::platform {

void exit_process(int status) { _exit(status); }

}  // namespace velmora::platform
