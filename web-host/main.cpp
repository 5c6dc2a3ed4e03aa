// velmora-web-host: the native-messaging host that links a browser extension to the desktop
// agent. All the work is in the run sequence; the entry only turns its result into a status.
#include "errors.h"
#include "host/run_host.h"

int main() {
  auto result = velmora::run_host();
  if (!result) velmora::report_failure(result.error());
  return 0;
}
