#include "test_agent.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <list>
#include <mutex>

#include "loopback.h"
#include "secrets.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace velmora::driver {

namespace fs = std::filesystem;

struct TestAgent::State {
  UniqueFd listener;
  Pipe wake;
  std::uint16_t port = 0;
  std::vector<AgentScript> scripts;

  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<AgentConnection> connections;

  const AgentScript& script_for(std::size_t index) const {
    return scripts[std::min(index, scripts.size() - 1)];
  }

  template <typename Change>
  void record(std::size_t index, Change&& change) {
    {
      std::lock_guard lock(mutex);
      change(connections[index]);
    }
    changed.notify_all();
  }

  template <typename Condition>
  bool wait_until(Duration limit, Condition&& condition) const {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return condition(connections); });
  }
};

namespace {

using State = TestAgent::State;

// One accepted connection, owned by the agent's thread alone.
struct Live {
  UniqueFd fd;
  std::size_t index;
  const AgentScript* script;
  Bytes in{};
  Bytes out{};
  bool answered = false;
  bool silent = false;
  bool closing = false;     // shut our sending down once `out` is empty
  bool write_shut = false;  // done: only draining the peer's bytes now
  bool dead = false;        // peer gone; drop it
};

// The agent's accept loop polls its listener, so it must never block in accept.
std::expected<UniqueFd, std::string> listen_without_blocking(std::uint16_t& port) {
  auto listener = listen_on_loopback(port);
  if (!listener) return listener;
  int flags = ::fcntl(listener->get(), F_GETFL);
  if (flags < 0 || ::fcntl(listener->get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return std::unexpected(os_failure("fcntl"));
  }
  return listener;
}

// A graceful close: the peer reads an end of stream rather than a reset, even when some of
// its bytes are still unread here; they are drained until the peer closes too. Recorded first,
// so that whoever sees the end of stream also sees the record.
void shut_down_sending(State& state, Live& live) {
  state.record(live.index, [](AgentConnection& c) { c.agent_closed = true; });
  ::shutdown(live.fd.get(), SHUT_WR);
  live.write_shut = true;
}

void on_frame(Live& live, const Bytes& payload) {
  const AgentScript& script = *live.script;
  if (live.closing || live.write_shut || live.silent) return;
  if (live.answered) {
    if (script.then == AgentScript::Then::Echo) live.out += frame(payload);
    return;
  }
  live.answered = true;
  switch (script.first) {
    case AgentScript::First::Reply:
      live.out += script.reply + script.send_after_reply;
      live.closing = script.then == AgentScript::Then::Close;
      break;
    case AgentScript::First::Close:
      live.closing = true;
      break;
    case AgentScript::First::Ignore:
      live.silent = true;
      break;
    case AgentScript::First::CloseOnAccept:
      break;
  }
}

void take_frames(State& state, Live& live) {
  while (live.in.size() >= 4) {
    std::uint32_t length = decode_length(live.in);
    if (length == 0 || length > MAX_FRAME_LEN) {
      state.record(live.index, [](AgentConnection& c) { c.bad_length = true; });
      live.in.clear();
      live.silent = true;
      live.closing = true;
      return;
    }
    if (live.in.size() < 4 + std::size_t{length}) return;
    Bytes payload = live.in.substr(4, length);
    live.in.erase(0, 4 + std::size_t{length});
    state.record(live.index, [&](AgentConnection& c) { c.frames.push_back(payload); });
    on_frame(live, payload);
  }
}

void on_readable(State& state, Live& live) {
  std::array<char, 65536> chunk;
  ssize_t got = ::recv(live.fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got <= 0) {
    live.dead = true;
    state.record(live.index, [](AgentConnection& c) { c.peer_closed = true; });
    return;
  }
  if (live.write_shut && live.silent) return;
  live.in.append(chunk.data(), static_cast<std::size_t>(got));
  take_frames(state, live);
}

void on_writable(State& state, Live& live) {
  ssize_t put =
      ::send(live.fd.get(), live.out.data(), live.out.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (put < 0) {
    live.dead = true;
    state.record(live.index, [](AgentConnection& c) { c.peer_closed = true; });
    return;
  }
  live.out.erase(0, static_cast<std::size_t>(put));
}

void accept_one(State& state, std::list<Live>& live) {
  UniqueFd fd(::accept4(state.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (!fd) return;
  std::size_t index = 0;
  {
    std::lock_guard lock(state.mutex);
    index = state.connections.size();
    state.connections.push_back(AgentConnection{.accepted_at = Clock::now()});
  }
  state.changed.notify_all();
  Live& added = live.emplace_back(
      Live{.fd = std::move(fd), .index = index, .script = &state.script_for(index)});
  if (added.script->first == AgentScript::First::CloseOnAccept) {
    added.silent = true;
    added.closing = true;
  }
}

void run(State& state, std::stop_token stop) {
  std::list<Live> live;
  while (!stop.stop_requested()) {
    for (Live& c : live) {
      if (c.closing && !c.write_shut && c.out.empty()) shut_down_sending(state, c);
    }
    live.remove_if([](const Live& c) { return c.dead; });
    std::vector<pollfd> fds{{state.wake.read.get(), POLLIN, 0}, {state.listener.get(), POLLIN, 0}};
    for (const Live& c : live) {
      short events = c.out.empty() || c.write_shut ? POLLIN : POLLIN | POLLOUT;
      fds.push_back({c.fd.get(), events, 0});
    }
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    if (fds[1].revents != 0) accept_one(state, live);
    std::size_t slot = 2;
    for (Live& c : live) {
      if (slot >= fds.size()) break;
      short revents = fds[slot++].revents;
      if ((revents & POLLOUT) != 0 && !c.out.empty()) on_writable(state, c);
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !c.dead) on_readable(state, c);
    }
  }
}

}  // namespace

fs::path bridge_file_path(const fs::path& roaming) {
  return roaming / "VelmoraAgent" / "web-bridge.json";
}

std::string bridge_json(std::uint16_t port, std::string_view token) {
  note_secret(token);
  return R"({"port":)" + std::to_string(port) + R"(,"token":")" + json_escape(token) + R"("})";
}

std::expected<TestAgent, std::string> TestAgent::start(std::vector<AgentScript> scripts) {
  auto state = std::make_unique<State>();
  state->scripts = scripts.empty() ? std::vector<AgentScript>{{}} : std::move(scripts);
  auto wake = make_pipe();
  if (!wake) return std::unexpected(wake.error());
  state->wake = std::move(*wake);
  auto listener = listen_without_blocking(state->port);
  if (!listener) return std::unexpected(listener.error());
  state->listener = std::move(*listener);
  return TestAgent(std::move(state));
}

TestAgent::TestAgent(std::unique_ptr<State> state)
    : state_(std::move(state)),
      thread_([s = state_.get()](std::stop_token stop) { run(*s, std::move(stop)); }) {}

TestAgent::TestAgent(TestAgent&&) noexcept = default;

TestAgent::~TestAgent() {
  if (!state_) return;
  thread_.request_stop();
  char byte = 0;
  while (::write(state_->wake.write.get(), &byte, 1) < 0 && errno == EINTR) {
  }
}

std::uint16_t TestAgent::port() const {
  return state_->port;
}

std::expected<void, std::string> TestAgent::publish(const fs::path& roaming,
                                                    std::string_view token) const {
  return write_file(bridge_file_path(roaming), bridge_json(port(), token));
}

std::vector<AgentConnection> TestAgent::connections() const {
  std::lock_guard lock(state_->mutex);
  return state_->connections;
}

bool TestAgent::wait_for_connections(std::size_t count, Duration limit) const {
  return state_->wait_until(limit, [&](const auto& all) { return all.size() >= count; });
}

bool TestAgent::wait_for_frames(std::size_t connection, std::size_t count, Duration limit) const {
  return state_->wait_until(limit, [&](const auto& all) {
    return all.size() > connection && all[connection].frames.size() >= count;
  });
}

bool TestAgent::wait_for_peer_close(std::size_t connection, Duration limit) const {
  return state_->wait_until(limit, [&](const auto& all) {
    return all.size() > connection && all[connection].peer_closed;
  });
}

}  // namespace velmora::driver
