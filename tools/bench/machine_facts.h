// The facts about this machine that the benchmark's figures depend on, printed before the table:
// cores and load, kernel, the transparent-huge-page mode, and the measured cost of touching fresh
// memory. A relay that takes fresh pages for each large frame pays that cost on every frame, so
// its figures at 1 MiB and 16 MiB say as much about this machine as about the relay.
#pragma once

namespace velmora::bench {

// Prints the facts to standard output; takes a fraction of a second (the touch is measured).
void print_machine_facts();

}  // namespace velmora::bench
