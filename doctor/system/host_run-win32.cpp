#include <windows.h>

#include <array>
#include <thread>

#include "errors.h"
#include "platform/unique_handle-win32.h"
#include "system/host_run.h"

namespace velmora::doctor::system {

namespace {

using platform::UniqueHandle;
using Clock = std::chrono::steady_clock;

// Reads an anonymous pipe, which cannot wait with a time-out, by looking before each read;
// gives up at `end`, and the frame codec then sees the end of the stream.
class PipeReader final : public Reader {
 public:
  PipeReader(HANDLE pipe, Clock::time_point end) : pipe_(pipe), end_(end) {}
  std::expected<std::size_t, IoError> read(std::span<std::byte> into) override {
    DWORD ready = 0;
    while (PeekNamedPipe(pipe_, nullptr, 0, nullptr, &ready, nullptr) && ready == 0) {
      if (Clock::now() >= end_) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ready == 0) return 0;  // the writing end is closed
    DWORD count = 0;
    auto ask = static_cast<DWORD>(std::min<std::size_t>(into.size(), ready));
    if (!ReadFile(pipe_, into.data(), ask, &count, nullptr)) return 0;
    return count;
  }

 private:
  HANDLE pipe_;
  Clock::time_point end_;
};

struct Pipe {
  UniqueHandle read, write;
};

// A pipe whose `child_end` (0 read, 1 write) the host inherits.
std::optional<Pipe> make_pipe(int child_end) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE ends[2] = {nullptr, nullptr};
  if (!CreatePipe(&ends[0], &ends[1], &inherit, 0)) return std::nullopt;
  Pipe pipe{UniqueHandle(ends[0]), UniqueHandle(ends[1])};
  SetHandleInformation(ends[1 - child_end], HANDLE_FLAG_INHERIT, 0);
  return pipe;
}

// The host's own command line; Chrome's way wraps it for cmd.exe, which runs it with the
// standard streams redirected.
std::wstring command_line(const std::filesystem::path& host, const std::string& origin,
                          bool through_shell) {
  std::wstring line = L"\"" + host.wstring() + L"\" " + std::wstring(origin.begin(), origin.end()) +
                      L" --parent-window=0";
  return through_shell ? L"cmd.exe /d /s /c \"" + line + L"\"" : line;
}

std::wstring cmd_exe() {
  std::array<wchar_t, MAX_PATH> folder{};
  UINT length = GetSystemDirectoryW(folder.data(), MAX_PATH);
  return std::wstring(folder.data(), length) + L"\\cmd.exe";
}

std::string drain(HANDLE pipe, Clock::time_point end) {
  PipeReader reader(pipe, end);
  return read_text(reader);
}

}  // namespace

bool needs_shell(const std::filesystem::path&) {
  return false;
}

std::expected<HostRun, std::string> run_host_once(const std::filesystem::path& host,
                                                  const std::string& origin, Launch launch,
                                                  std::chrono::milliseconds limit) {
  bool through_shell = launch.through_shell;
  auto in = make_pipe(0);
  auto out = make_pipe(1);
  auto err = make_pipe(1);
  // The job ends cmd.exe, if any, and the host together when the time is up.
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!in || !out || !err || !job) return std::unexpected("no pipe or job for the host");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in->read.get();
  startup.hStdOutput = out->write.get();
  startup.hStdError = err->write.get();
  PROCESS_INFORMATION process{};
  std::wstring line = command_line(host, origin, through_shell);
  std::wstring program = through_shell ? cmd_exe() : host.wstring();
  std::wstring folder = host.parent_path().wstring();  // the browsers start it there
  if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, folder.c_str(), &startup,
                      &process))
    return std::unexpected("cannot be started: " + velmora::os_error_message(GetLastError()));
  UniqueHandle child(process.hProcess), thread(process.hThread);
  AssignProcessToJobObject(job.get(), child.get());
  ResumeThread(thread.get());
  in->read.reset();
  out->write.reset();
  err->write.reset();
  auto end = Clock::now() + limit;
  HostRun run;
  PipeReader output(out->read.get(), end);
  read_first_frame(output, run);
  in->write.reset();  // as a browser closing the port
  if (WaitForSingleObject(child.get(), 2000) == WAIT_OBJECT_0) {
    DWORD status = 0;
    if (GetExitCodeProcess(child.get(), &status)) {
      run.crash = crash_of(status);
      if (run.crash.empty()) run.status = status_of(status);
    }
  }
  run.error_stream = drain(err->read.get(), Clock::now() + std::chrono::milliseconds(200));
  return run;
}

}  // namespace velmora::doctor::system
