// velmora-web-host: the native-messaging host that links a browser extension to the desktop
// agent. All the work is in the run sequence; the entry only turns its result into a status.
#include "host/report.h"
#include "host/run_host.h"
#include "platform/process.h"
#include "product.h"

// Never read by the host itself: see VELMORA_HOST_VERSION_MARK.
[[gnu::used]] static constexpr char version_mark[] = VELMORA_HOST_VERSION_MARK VELMORA_VERSION;

int main() {
  velmora::stop_abnormally_on_escaped_exceptions();
  auto result = velmora::run_host();
  if (!result) velmora::report_failure(result.error());
  // The extension reader still runs: end at once rather than tear down what it uses.
  velmora::platform::exit_process(0);
}
