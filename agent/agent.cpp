#include "agent.h"

#include <chrono>
#include <random>
#include <system_error>
#include <thread>

#include "connection.h"
#include "json/value.h"
#include "shared_state.h"

namespace velmora::agent {

namespace {

// A failed accept is usually a peer that gave up in the queue; the pause keeps a lasting
// failure (no descriptors left) from spinning.
void pause_after_failed_accept() {
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void start_connection_thread(platform::Socket connection, std::shared_ptr<SharedState> state) {
  try {
    std::thread(serve_connection, std::move(connection), std::move(state)).detach();
  } catch (const std::system_error&) {
    // No thread to serve it: the connection is dropped and its peer sees it closed.
  }
}

}  // namespace

std::string fresh_token() {
  constexpr std::string_view digits = "0123456789abcdef";
  std::random_device source;
  std::uniform_int_distribution<std::size_t> digit(0, digits.size() - 1);
  std::string token(32, '0');
  for (char& c : token) c = digits[digit(source)];
  return token;
}

std::string bridge_file_contents(std::uint16_t port, const std::string& token) {
  JsonObject contents;
  contents.insert("port", port);
  contents.insert("token", token);
  return serialize_compact(JsonValue(std::move(contents)));
}

std::expected<Agent, std::string> Agent::open(std::filesystem::path bridge_file) {
  auto listener = platform::Listener::bind_loopback(0);
  if (!listener)
    return std::unexpected("cannot listen on 127.0.0.1: " + listener.error().display());
  std::string token = fresh_token();
  auto published =
      PublishedFile::publish(std::move(bridge_file), bridge_file_contents(listener->port(), token));
  if (!published) return std::unexpected(std::move(published.error()));
  auto state =
      std::make_shared<SharedState>(std::move(token), listener->port(), std::move(*published));
  return Agent(std::move(*listener), std::move(state));
}

Agent::Agent(platform::Listener listener, std::shared_ptr<SharedState> state)
    : listener_(std::move(listener)), state_(std::move(state)) {}

Agent::Agent(Agent&& other) noexcept = default;

Agent::~Agent() {
  if (state_) state_->stop();
}

const std::string& Agent::token() const {
  return state_->token;
}

void Agent::run() {
  while (!state_->stopping()) {
    auto connection = listener_.accept();
    if (!connection) {
      pause_after_failed_accept();
    } else if (!state_->stopping()) {
      start_connection_thread(std::move(*connection), state_);
    }
  }
  state_->stop();
}

void Agent::request_stop() {
  state_->stop();
}

}  // namespace velmora::agent
