// The black-box driver: the cases run against whichever build the arguments name.
#include <gtest/gtest.h>

#include <iostream>
#include <span>

#include "host_fixture.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  auto setup = velmora::driver::HostSetup::from_args(
      std::span<char* const>(argv + 1, static_cast<std::size_t>(argc - 1)));
  if (setup) {
    velmora::blackbox::set_host_setup(std::move(*setup));
  } else if (!GTEST_FLAG_GET(list_tests)) {
    std::cerr << "blackbox_tests: " << setup.error()
              << "\nusage: blackbox_tests [gtest options] --host=PATH"
                 " [--wine-loader=PATH --wine-prefix=DIR] [--probe=PATH]\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}
