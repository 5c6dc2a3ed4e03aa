#include <windows.h>

#include "platform/process.h"

namespace velmora::platform {

void exit_process(int status) {
  // Unlike ExitProcess, this runs no DLL detach or C runtime handlers and takes no loader lock.
  for (;;) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
}

}  // namespace velmora::platform
