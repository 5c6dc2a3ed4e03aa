// What the two exit_process implementations (process-linux.cpp, process-win32.cpp) share from
// process.cpp: which status the calling thread may end the process with.
#pragma once

namespace velmora::platform::process_calls {

// `status` when the calling thread claims the end, else, after a grace for the claimer's line,
// the claimed one.
int status_to_end_with(int status);

}  // namespace velmora::platform::process_calls
