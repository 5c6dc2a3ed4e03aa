// velmora-register-host: registers the Velmora web host for the current user (Linux; on Windows
// the installer registers it). Nothing outside the user's home and XDG folders is touched.
#include <iostream>
#include <string_view>
#include <vector>

#include "commands.h"

int main(int argc, char** argv) {
  using namespace velmora::registrar;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  auto fail = [](const std::string& line) {
    std::cerr << "velmora-register-host: " << line << "\n";
    return 2;
  };
  auto user = user_folders();
  if (!user) return fail(user.error());
  auto command = parse_command(args);
  if (!command) {
    if (!command.error().empty()) return fail(command.error());
    std::cerr << usage() << "\n";
    return 2;
  }
  Output output{std::cout, std::cerr};
  switch (command->verb) {
    case Verb::Install:
      return install(command->install, *user, output);
    case Verb::Uninstall:
      return uninstall(*user, output);
    case Verb::Help:
      break;
  }
  std::cout << usage() << "\n";
  return 0;
}
