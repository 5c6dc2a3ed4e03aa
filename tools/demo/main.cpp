// velmora-demo: plays a short scripted extension against the host, as a browser would (frames on
// the host's standard input, frames read from its standard output), with the sample agent on
// the other side, and prints the conversation.
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>

#include "host_process.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using velmora::driver::Command;
using velmora::driver::HostProcess;
namespace fs = std::filesystem;

struct Paths {
  fs::path host;
  fs::path agent;
  fs::path roaming;
  fs::path bridge_file() const { return roaming / "VelmoraAgent" / "web-bridge.json"; }
};

void say(const std::string& text) {
  std::cout << text << '\n' << std::flush;
}

Command command(const fs::path& program, const Paths& paths) {
  return Command{{program.string()}, {{"XDG_CONFIG_HOME", paths.roaming.string()}}};
}

bool wait_for_file(const fs::path& path, bool present) {
  for (int i = 0; i < 100; ++i) {
    if (fs::exists(path) == present) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

HostProcess start(const fs::path& program, const Paths& paths) {
  auto process = HostProcess::start(command(program, paths));
  if (!process)
    throw std::runtime_error("cannot start " + program.string() + ": " + process.error());
  return std::move(*process);
}

void send(HostProcess& host, const std::string& message) {
  say("  extension -> host : " + message);
  if (!host.write_frame(message)) throw std::runtime_error("the host stopped reading");
}

std::string receive(HostProcess& host) {
  auto message = host.read_frame(10s);
  if (!message) throw std::runtime_error("no frame from the host");
  say("  host -> extension : " + *message);
  return *message;
}

void show_end(HostProcess& host) {
  auto status = host.wait(10s);
  say("  host ended: " + (status ? velmora::driver::describe(*status) : status.error()));
  if (const auto& errors = host.error_output(); !errors.empty()) {
    std::cout << "  host's error stream: " << errors << std::flush;
  }
}

void relay_conversation(const Paths& paths) {
  say("\n1. The extension connects; the host links to the agent and relays both ways.");
  auto host = start(paths.host, paths);
  receive(host);
  send(host, R"({"op":"ping","seq":1})");
  receive(host);
  send(host, R"({"op":"note","text":"Grüße — 你好 ✓"})");
  receive(host);
  say("  (the extension disconnects: the browser closes the host's input)");
  host.close_stdin();
  show_end(host);
}

void stop_agent(const Paths& paths) {
  auto host = start(paths.host, paths);
  receive(host);
  send(host, R"({"op":"stop"})");
  show_end(host);
  wait_for_file(paths.bridge_file(), false);
}

void launch(const Paths& paths) {
  say("\n3. A launch request as the first message: the host starts the agent from its own folder.");
  auto host = start(paths.host, paths);
  send(host, R"({"op":"launch"})");
  receive(host);
  show_end(host);
  if (!wait_for_file(paths.bridge_file(), true))
    throw std::runtime_error("the agent did not start");
}

void run(const Paths& paths) {
  say("Starting the sample agent; it publishes its port and token in " +
      paths.bridge_file().string());
  auto agent = start(paths.agent, paths);
  if (!wait_for_file(paths.bridge_file(), true))
    throw std::runtime_error("the agent did not start");
  relay_conversation(paths);

  say("\n2. The agent goes away while linked: the host reports it and ends with status 1.");
  stop_agent(paths);
  (void)agent.wait(10s);

  launch(paths);
  say("\n4. The next connection links to the agent that the host started, then stops it.");
  stop_agent(paths);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: velmora-demo HOST AGENT\n";
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  auto scratch = velmora::driver::TempDir::create();
  if (!scratch) {
    std::cerr << scratch.error() << '\n';
    return 1;
  }
  Paths paths{fs::absolute(argv[1]), fs::absolute(argv[2]), scratch->path() / "roaming"};
  fs::create_directories(paths.roaming);
  try {
    run(paths);
  } catch (const std::exception& e) {
    std::cerr << "demo failed: " << e.what() << '\n';
    return 1;
  }
  say("\nDone.");
  return 0;
}
