// The real host started the ways Windows starts it: by Chrome through cmd.exe with named pipes,
// by Firefox inside a job that kills its processes when closed, and by a GUI parent with standard
// handles that are missing or name nothing. Runs beside the host and the sample agent.
#include <winsock2.h>
// windows.h after winsock2.h, tlhelp32.h after windows.h.
#include <windows.h>
//
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <chrono>
#include <expected>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "product.h"

namespace {

using Ms = std::chrono::milliseconds;
// Wine starts a process in about a second; every wait allows for a busy machine.
constexpr Ms kLong{30'000};
constexpr char kLaunched[] = R"({"launched":true,"ok":true})";

class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : value_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
  Handle(Handle&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(value_, other.value_);
    return *this;
  }
  ~Handle() { reset(); }
  void reset() {
    if (value_ != nullptr) CloseHandle(std::exchange(value_, nullptr));
  }
  HANDLE get() const { return value_; }
  explicit operator bool() const { return value_ != nullptr; }

 private:
  HANDLE value_ = nullptr;
};

DWORD as_ms(Ms limit) {
  return static_cast<DWORD>(limit.count());
}

// A process the test started or found; still running at the end of the test, it is killed.
struct Process {
  Handle handle;
  Handle thread;  // kept for a process started suspended
  DWORD id = 0;
  Process() = default;
  Process(Process&&) = default;
  Process& operator=(Process&&) = default;
  ~Process() {
    if (handle && WaitForSingleObject(handle.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(handle.get(), 255);
      WaitForSingleObject(handle.get(), as_ms(kLong));
    }
  }
  std::optional<DWORD> exit_within(Ms limit) const {
    DWORD status = 0;
    if (WaitForSingleObject(handle.get(), as_ms(limit)) != WAIT_OBJECT_0) return std::nullopt;
    GetExitCodeProcess(handle.get(), &status);
    return status;
  }
};

std::wstring beside_driver(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  std::wstring own(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
  return own.substr(0, own.find_last_of(L'\\') + 1) + name;
}

// The host beside the driver, or the one VELMORA_TEST_HOST names (the installer's test).
const std::wstring& host_path() {
  static const std::wstring path = [] {
    wchar_t named[MAX_PATH];
    DWORD length = GetEnvironmentVariableW(L"VELMORA_TEST_HOST", named, MAX_PATH);
    if (length > 0 && length < MAX_PATH) return std::wstring(named, length);
    return beside_driver(L"velmora-web-host.exe");
  }();
  return path;
}

std::wstring unique_name(const wchar_t* stem) {
  static int count = 0;
  return stem + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++count);
}

// A fresh roaming folder, found by the host through the test prefix's registry entry.
struct Roaming {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / unique_name(L"velmora-launch-");
  Roaming() {
    std::filesystem::create_directories(path);
    SetEnvironmentVariableW(L"VELMORA_TEST_ROAMING", path.c_str());
  }
  ~Roaming() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

STARTUPINFOW with_handles(HANDLE input, HANDLE output, HANDLE error) {
  STARTUPINFOW startup{};
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  return startup;
}

std::expected<Process, DWORD> start(const std::wstring& program, std::wstring command_line,
                                    STARTUPINFOW startup, DWORD flags = 0) {
  PROCESS_INFORMATION started{};
  startup.cb = sizeof startup;
  BOOL inherit = (startup.dwFlags & STARTF_USESTDHANDLES) != 0;
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, inherit, flags,
                      nullptr, nullptr, &startup, &started)) {
    return std::unexpected(GetLastError());
  }
  Process process;
  process.handle = Handle(started.hProcess);
  process.thread = Handle(started.hThread);
  process.id = started.dwProcessId;
  return process;
}

// The sample agent publishing in `roaming`, once its bridge file is there.
std::expected<Process, DWORD> start_agent(const Roaming& roaming) {
  std::wstring agent = beside_driver(L"velmora-agent.exe");
  auto process =
      start(agent, L"\"" + agent + L"\" --roaming \"" + roaming.path.wstring() + L"\"", {});
  if (!process) return process;
  auto bridge_file = roaming.path / "VelmoraAgent" / "web-bridge.json";
  auto end = std::chrono::steady_clock::now() + kLong;
  for (; !std::filesystem::exists(bridge_file); Sleep(20)) {
    if (std::chrono::steady_clock::now() > end) return std::unexpected(WAIT_TIMEOUT);
  }
  return process;
}

// The running process named `exe` that process `parent` started, if there is one.
Process child_of(DWORD parent, const wchar_t* exe) {
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ParentProcessID != parent || _wcsicmp(entry.szExeFile, exe) != 0) continue;
    Process found;
    found.handle = Handle(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                      FALSE, entry.th32ProcessID));
    found.id = entry.th32ProcessID;
    return found;
  }
  return {};
}

// One overlapped operation on the test's end of a pipe, given at most `limit`; the bytes moved,
// or the error (ERROR_OPERATION_ABORTED for a time-out, ERROR_BROKEN_PIPE for the end).
template <typename Start>
std::expected<DWORD, DWORD> overlapped(HANDLE pipe, Ms limit, Start start_io) {
  Handle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED io{};
  io.hEvent = event.get();
  if (!start_io(&io) && GetLastError() != ERROR_IO_PENDING) return std::unexpected(GetLastError());
  if (WaitForSingleObject(event.get(), as_ms(limit)) != WAIT_OBJECT_0) CancelIoEx(pipe, &io);
  DWORD count = 0;
  if (!GetOverlappedResult(pipe, &io, &count, TRUE)) return std::unexpected(GetLastError());
  return count;
}

bool connect_within(HANDLE server, Ms limit) {
  auto connected =
      overlapped(server, limit, [&](OVERLAPPED* io) { return ConnectNamedPipe(server, io); });
  return connected || connected.error() == ERROR_PIPE_CONNECTED;
}

std::expected<std::string, DWORD> read_exact(HANDLE pipe, std::size_t size, Ms limit) {
  std::string bytes(size, '\0');
  for (std::size_t done = 0; done < size;) {
    auto count = overlapped(pipe, limit, [&](OVERLAPPED* io) {
      return ReadFile(pipe, bytes.data() + done, static_cast<DWORD>(size - done), nullptr, io);
    });
    if (!count) return std::unexpected(count.error());
    done += *count;
  }
  return bytes;
}

std::size_t frame_length(std::string_view prefix) {
  std::size_t length = 0;
  for (std::size_t i = 4; i-- > 0;) length = length << 8 | static_cast<unsigned char>(prefix[i]);
  return length;
}

std::string frame(std::string_view payload) {
  std::string bytes(4, '\0');
  for (std::size_t i = 0; i < 4; ++i) bytes[i] = static_cast<char>(payload.size() >> (8 * i));
  return bytes.append(payload);
}

std::expected<std::string, DWORD> read_frame(HANDLE pipe, Ms limit = kLong) {
  auto prefix = read_exact(pipe, 4, limit);
  if (!prefix) return prefix;
  return read_exact(pipe, frame_length(*prefix), limit);
}

constexpr char kEnded[] = "(the stream ended)";

// The next frame's payload, or what came instead, as text that a failed check shows.
std::string next_frame(HANDLE pipe) {
  auto payload = read_frame(pipe);
  if (payload) return *payload;
  if (payload.error() == ERROR_BROKEN_PIPE) return kEnded;
  return "(error " + std::to_string(payload.error()) + ")";
}

// In one write: on a message pipe, one message.
bool write_bytes(HANDLE pipe, std::string_view bytes) {
  auto count = overlapped(pipe, kLong, [&](OVERLAPPED* io) {
    return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, io);
  });
  return count == bytes.size();
}

bool write_frame(HANDLE pipe, std::string_view payload) {
  return write_bytes(pipe, frame(payload));
}

// Whatever a finished process left in a pipe, without waiting for its end: a started agent
// may hold the writing end still.
std::string pending(HANDLE pipe) {
  DWORD ready = 0;
  if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &ready, nullptr) || ready == 0) return "";
  return read_exact(pipe, ready, Ms(1000)).value_or("");
}

// A named pipe: the test's end serves it; the child's end is opened by name, here or by cmd.exe.
struct Pipe {
  std::wstring name = unique_name(L"\\\\.\\pipe\\velmora-launch-");
  Handle mine;
  Handle theirs;

  DWORD type;

  // `inbound`: the child writes, the test reads. A message pipe is read message by message.
  explicit Pipe(bool inbound, DWORD pipe_type = PIPE_TYPE_BYTE) : type(pipe_type) {
    DWORD way = inbound ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND;
    mine = Handle(CreateNamedPipeW(name.c_str(), way | FILE_FLAG_OVERLAPPED, type, 1, 1 << 16,
                                   1 << 16, 0, nullptr));
  }
  void open_theirs(bool inbound) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    DWORD access = inbound ? GENERIC_WRITE : GENERIC_READ | FILE_WRITE_ATTRIBUTES;
    theirs = Handle(CreateFileW(name.c_str(), access, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (type == PIPE_TYPE_MESSAGE) SetNamedPipeHandleState(theirs.get(), &mode, nullptr, nullptr);
  }
};

// What a standard handle of the host is: the test's pipe, or what a GUI parent can give in its
// place. (Wine gives a child no handle for a value that names nothing in it.)
enum class Given { Pipe, Null, Invalid };

HANDLE given(Given kind, const Pipe& pipe) {
  if (kind == Given::Pipe) return pipe.theirs.get();
  return kind == Given::Null ? nullptr : INVALID_HANDLE_VALUE;
}

// An inheritable copy of `source` at a value far above those the host opens for itself, which
// take the lowest free ones: closed in the host, the value then stays one that names nothing.
Handle high_valued(HANDLE source) {
  std::vector<Handle> below;
  for (int i = 0; i < 1024; ++i) below.emplace_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return Handle(copy);
}

// The host started directly with the three pipes as its standard handles, or in their place
// what `output` and `error` say.
struct DirectHost {
  explicit DirectHost(DWORD input_type = PIPE_TYPE_BYTE) : input(false, input_type) {}

  Pipe input;
  Pipe output{true};
  Pipe error{true};
  Process process;
  HANDLE output_value = nullptr;  // the host's values of the test's pipes
  HANDLE error_value = nullptr;

  std::expected<void, DWORD> start(Given out, Given err, HANDLE job = nullptr) {
    for (Pipe* pipe : {&input, &output, &error}) {
      pipe->open_theirs(pipe != &input);
      pipe->theirs = high_valued(pipe->theirs.get());
    }
    auto startup = with_handles(input.theirs.get(), given(out, output), given(err, error));
    auto started = ::start(host_path(), L"\"" + host_path() + L"\"", startup, CREATE_SUSPENDED);
    output_value = output.theirs.get();
    error_value = error.theirs.get();
    for (Pipe* pipe : {&input, &output, &error}) pipe->theirs.reset();
    if (!started) return std::unexpected(started.error());
    process = std::move(*started);
    return resume(job);
  }

  // As Firefox does: the host is in its job before it runs a single instruction.
  std::expected<void, DWORD> resume(HANDLE job) {
    if (job != nullptr && !AssignProcessToJobObject(job, process.handle.get())) {
      return std::unexpected(GetLastError());
    }
    ResumeThread(process.thread.get());
    return {};
  }

  // The host's standard handle `which` becomes a value that names nothing, as a handle of a
  // GUI parent that it closed, or never had, would be.
  bool close_in_host(DWORD which) {
    HANDLE value = which == STD_OUTPUT_HANDLE ? output_value : error_value;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process.handle.get(), value, GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_CLOSE_SOURCE | DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    return CloseHandle(copy);
  }
};

Handle kill_on_close_job(bool breakaway_ok) {
  Handle job(CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | (breakaway_ok ? JOB_OBJECT_LIMIT_BREAKAWAY_OK : 0);
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  return job;
}

// Processor time of `host`. Wine gives no times of another process, but shows Linux's /proc on
// its Z: drive: there the host is the process whose command line ends with `marker`.
Ms host_busy(HANDLE host, const std::string& marker) {
  const std::filesystem::path proc = "Z:\\proc";
  if (!std::filesystem::exists(proc / "self")) {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(host, &created, &ended, &kernel, &user);
    auto ticks = [](FILETIME t) { return (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
    return Ms((ticks(kernel) + ticks(user)) / 10'000);
  }
  auto read = [](const std::filesystem::path& file) {
    std::ifstream in(file);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  for (const auto& entry : std::filesystem::directory_iterator(proc)) {
    std::string command = read(entry.path() / "cmdline");
    std::erase(command, '\0');
    if (!command.ends_with(marker)) continue;
    // Eleven fields after the command name, then user and system time in ticks of 10 ms.
    const std::string stat = read(entry.path() / "stat");
    std::istringstream fields(stat.substr(stat.rfind(") ") + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i) fields >> skipped;
    long long user = 0, system = 0;
    fields >> user >> system;
    return Ms(10 * (user + system));
  }
  return Ms{-1'000'000};
}

TEST(ChromeWay, CmdWithNamedPipesLinksRelaysAndEndsWithItsInput) {
  Roaming roaming;
  auto agent = start_agent(roaming);
  ASSERT_TRUE(agent) << "agent start failed: " << agent.error();
  Pipe input{false}, output{true}, error{true};
  error.open_theirs(true);
  const std::string_view id = velmora::product::CHROMIUM_EXTENSION_IDS[0];
  // As Chrome passes its window; this test's own number marks the host among all processes.
  const std::string marker = "--parent-window=" + std::to_string(GetCurrentProcessId());
  const std::wstring window(marker.begin(), marker.end());
  std::wstring cmd = L"cmd.exe /d /s /c \"\"" + host_path() + L"\" chrome-extension://" +
                     std::wstring(id.begin(), id.end()) + L"/ " + window + L"\" < " + input.name +
                     L" > " + output.name;
  wchar_t system[MAX_PATH];
  std::wstring comspec(system, GetSystemDirectoryW(system, MAX_PATH));
  auto shell =
      start(comspec + L"\\cmd.exe", cmd, with_handles(nullptr, nullptr, error.theirs.get()));
  error.theirs.reset();
  ASSERT_TRUE(shell) << "cmd.exe start failed: " << shell.error();
  ASSERT_TRUE(connect_within(input.mine.get(), kLong) && connect_within(output.mine.get(), kLong));

  EXPECT_EQ(next_frame(output.mine.get()), R"({"op":"linked"})");
  Process host = child_of(shell->id, L"velmora-web-host.exe");
  ASSERT_TRUE(host.handle) << "no host under cmd.exe";
  std::string text = R"({"text":"Grüße, Ελλάδα, 日本語 🌍 \u00e9"})";
  // A quick exchange makes the host poll for the next frame a moment; then it sleeps again.
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(write_frame(input.mine.get(), text));
    ASSERT_EQ(next_frame(output.mine.get()), text);
  }
  const Ms before = host_busy(host.handle.get(), marker);
  Sleep(1000);
  const Ms busy = host_busy(host.handle.get(), marker) - before;
  EXPECT_TRUE(busy >= Ms{0} && busy < Ms{20}) << busy;  // a polling thread takes ~1 s

  input.mine.reset();
  EXPECT_EQ(host.exit_within(kLong), 0u);
  EXPECT_EQ(shell->exit_within(kLong), 0u);
  EXPECT_EQ(next_frame(output.mine.get()), kEnded);
  // cmd.exe may say things of its own there.
  EXPECT_EQ(pending(error.mine.get()).find("velmora-web-host"), std::string::npos);
}

enum class Job { None, BreakawayOk, Strict };

struct LaunchCase {
  const char* name;
  Job job;
  Given output;
  Given error;
  bool agent_outlives_job = true;
};

void PrintTo(const LaunchCase& row, std::ostream* out) {
  *out << row.name;
}

class Launch : public testing::TestWithParam<LaunchCase> {};

// A launch request, with no agent running: the agent is started, the reply written (or
// dropped with a missing output), and the host ends with status 0.
TEST_P(Launch, StartsTheAgentRepliesAndEnds) {
  const LaunchCase& row = GetParam();
  Roaming roaming;
  Handle job = row.job == Job::None ? Handle() : kill_on_close_job(row.job == Job::BreakawayOk);
  DirectHost host;
  auto started = host.start(row.output, row.error, job.get());
  ASSERT_TRUE(started) << "host start failed: " << started.error();
  ASSERT_TRUE(write_frame(host.input.mine.get(), R"({"op":"launch"})"));
  if (row.output == Given::Pipe) {
    EXPECT_EQ(next_frame(host.output.mine.get()), kLaunched);
    EXPECT_EQ(next_frame(host.output.mine.get()), kEnded);
  }
  EXPECT_EQ(host.process.exit_within(kLong), 0u);
  std::string said = pending(host.error.mine.get());
  EXPECT_TRUE(row.error != Given::Pipe || said.starts_with("velmora-web-host: agent launched ("))
      << said;
  Process agent = child_of(host.process.id, L"velmora-agent.exe");
  ASSERT_TRUE(agent.handle) << "no agent started by the host";
  if (row.job == Job::None) return;
  job.reset();
  bool ended = agent.exit_within(row.agent_outlives_job ? Ms(1000) : kLong).has_value();
  EXPECT_EQ(ended, !row.agent_outlives_job) << "the agent's end with its job differs";
}

INSTANTIATE_TEST_SUITE_P(
    Ways, Launch,
    testing::Values(LaunchCase{"FirefoxJobBreakawayOk", Job::BreakawayOk, Given::Pipe, Given::Pipe},
                    LaunchCase{"FirefoxStrictJob", Job::Strict, Given::Pipe, Given::Pipe, false},
                    LaunchCase{"ErrorNull", Job::None, Given::Pipe, Given::Null},
                    LaunchCase{"ErrorInvalid", Job::None, Given::Pipe, Given::Invalid},
                    LaunchCase{"OutputNull", Job::None, Given::Null, Given::Pipe},
                    LaunchCase{"OutputInvalid", Job::None, Given::Invalid, Given::Pipe}),
    [](const auto& row) { return std::string(row.param.name); });

// An agent played by the test on loopback, published in the bridge file: it takes the host's
// connection and answers the hello as a row says.
class PlayedAgent {
 public:
  explicit PlayedAgent(const Roaming& roaming) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (bind(listener_, raw, size) != 0 || listen(listener_, 1) != 0) return;
    getsockname(listener_, raw, &size);
    std::filesystem::create_directories(roaming.path / "VelmoraAgent");
    std::ofstream(roaming.path / "VelmoraAgent" / "web-bridge.json")
        << R"({"port":)" << ntohs(address.sin_port) << R"(,"token":"t"})";
  }
  ~PlayedAgent() {
    for (SOCKET s : {listener_, connection_}) closesocket(s);
  }

  bool accept_within(Ms limit) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener_, &ready);
    timeval wait{static_cast<long>(limit.count() / 1000), 0};
    if (select(0, &ready, nullptr, nullptr, &wait) != 1) return false;
    connection_ = accept(listener_, nullptr, nullptr);
    DWORD timeout = as_ms(kLong);
    setsockopt(connection_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
               sizeof timeout);
    return connection_ != INVALID_SOCKET;
  }
  // A frame's payload, or "" once the host has gone.
  std::string receive_frame() {
    std::string prefix = receive(4);
    return prefix.size() == 4 ? receive(frame_length(prefix)) : "";
  }
  bool send_frame(std::string_view payload) {
    std::string bytes = frame(payload);
    return send(connection_, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
  }

 private:
  std::string receive(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t done = 0; done < size;) {
      int count = recv(connection_, bytes.data() + done, static_cast<int>(size - done), 0);
      if (count <= 0) return bytes.substr(0, done);
      done += static_cast<std::size_t>(count);
    }
    return bytes;
  }

  SOCKET listener_ = INVALID_SOCKET;
  SOCKET connection_ = INVALID_SOCKET;
};

struct StaleCase {
  const char* name;
  DWORD closed;       // the standard handle that names nothing by the time the host writes
  const char* reply;  // to the hello
  DWORD status;
};

void PrintTo(const StaleCase& row, std::ostream* out) {
  *out << row.name;
}

class StaleHandle : public testing::TestWithParam<StaleCase> {};

// A refused hello ends with status 1 and its line unwritten; a linked notice that goes nowhere
// still lets the relay run, until the input ends with status 0.
TEST_P(StaleHandle, CountsAsMissing) {
  const StaleCase& row = GetParam();
  Roaming roaming;
  PlayedAgent agent(roaming);
  DirectHost host;
  auto started = host.start(Given::Pipe, Given::Pipe);
  ASSERT_TRUE(started) << "host start failed: " << started.error();
  ASSERT_TRUE(agent.accept_within(kLong));
  ASSERT_NE(agent.receive_frame(), "");
  ASSERT_TRUE(host.close_in_host(row.closed));
  ASSERT_TRUE(agent.send_frame(row.reply));
  if (row.status == 0) {
    ASSERT_TRUE(write_frame(host.input.mine.get(), "[1]"));
    EXPECT_EQ(agent.receive_frame(), "[1]");
    host.input.mine.reset();
  }
  EXPECT_EQ(host.process.exit_within(kLong), row.status);
  EXPECT_EQ(pending(host.error.mine.get()), "");
}

INSTANTIATE_TEST_SUITE_P(Handles, StaleHandle,
                         testing::Values(StaleCase{"Error", STD_ERROR_HANDLE, R"({"ok":false})", 1},
                                         StaleCase{"Output", STD_OUTPUT_HANDLE, R"({"ok":true})",
                                                   0}),
                         [](const auto& row) { return std::string(row.param.name); });

// Chrome's pipes may be message pipes: a message longer than one read, and a message of no
// bytes, are neither the end of the input nor lost.
TEST(MessagePipe, LongAndEmptyMessagesAreReadOn) {
  Roaming roaming;
  PlayedAgent agent(roaming);
  DirectHost host(PIPE_TYPE_MESSAGE);
  auto started = host.start(Given::Pipe, Given::Pipe);
  ASSERT_TRUE(started) << "host start failed: " << started.error();
  ASSERT_TRUE(agent.accept_within(kLong));
  ASSERT_NE(agent.receive_frame(), "");
  ASSERT_TRUE(agent.send_frame(R"({"ok":true})"));
  EXPECT_EQ(next_frame(host.output.mine.get()), R"({"op":"linked"})");
  const std::string large(100'000, 'm');
  ASSERT_TRUE(write_bytes(host.input.mine.get(), ""));
  ASSERT_TRUE(write_frame(host.input.mine.get(), large));
  ASSERT_TRUE(write_frame(host.input.mine.get(), "[2]"));
  EXPECT_EQ(agent.receive_frame(), large);
  EXPECT_EQ(agent.receive_frame(), "[2]");
  host.input.mine.reset();
  EXPECT_EQ(host.process.exit_within(kLong), 0u);
  EXPECT_EQ(pending(host.error.mine.get()), "");
}

}  // namespace
