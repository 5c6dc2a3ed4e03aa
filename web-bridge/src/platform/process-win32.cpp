#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/command_line-win32.h"
#include "platform/final_path-win32.h"
#include "platform/process.h"
#include "platform/process_calls.h"
#include "platform/unique_handle-win32.h"

namespace velmora::platform {

std::wstring win32::quoted_command_line(std::wstring_view program) {
  // The program's name, the first word, is read up to the closing quote with no escapes, so a
  // path (which holds no quote) needs nothing more; backslashes stay as they are.
  return L"\"" + std::wstring(program) + L"\"";
}

const char EXECUTABLE_SUFFIX[] = ".exe";

void exit_process(int status) {
  status = process_calls::status_to_end_with(status);
  // Unlike ExitProcess, this runs no DLL detach or C runtime handlers and takes no loader lock.
  for (;;) TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
}

namespace {

IoError last_error() {
  return IoError::os(GetLastError());
}

std::expected<std::wstring, IoError> module_file_name() {
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return std::unexpected(last_error());
    if (length < name.size()) return name.substr(0, length);
    name.resize(name.size() * 2);
  }
}

std::expected<std::wstring, IoError> final_path(const std::wstring& path) {
  UniqueHandle file(CreateFileW(path.c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) return std::unexpected(last_error());
  std::wstring resolved(MAX_PATH, L'\0');
  for (;;) {
    DWORD length = GetFinalPathNameByHandleW(
        file.get(), resolved.data(), static_cast<DWORD>(resolved.size()), FILE_NAME_NORMALIZED);
    if (length == 0) return std::unexpected(last_error());
    if (length < resolved.size()) return resolved.substr(0, length);
    resolved.resize(length + 1);
  }
}

// An inheritable copy of `source`, or no handle when the host has none.
UniqueHandle inheritable(HANDLE source) {
  HANDLE copy = nullptr;
  if (!HandleTraits::valid(source)) return UniqueHandle();
  DuplicateHandle(GetCurrentProcess(), source, GetCurrentProcess(), &copy, 0, TRUE,
                  DUPLICATE_SAME_ACCESS);
  return UniqueHandle(copy);
}

UniqueHandle null_device(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return UniqueHandle(CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                  OPEN_EXISTING, 0, nullptr));
}

// The attribute list that limits inheritance to exactly `handles`.
struct HandleList {
  std::vector<HANDLE> handles;
  std::unique_ptr<char[]> storage;
  LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

  explicit HandleList(std::vector<HANDLE> only) : handles(std::move(only)) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage = std::make_unique<char[]>(size);
    list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size) ||
        !UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                   handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
      list = nullptr;
    }
  }
  ~HandleList() {
    if (list != nullptr) DeleteProcThreadAttributeList(list);
  }
};

bool create(const std::wstring& program, STARTUPINFOEXW& startup, DWORD flags) {
  PROCESS_INFORMATION process{};
  // Without a command line Windows passes the program's name unquoted. CreateProcessW may write
  // into the one it is given, so it gets a copy of its own.
  std::wstring command_line = win32::quoted_command_line(program);
  if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                      flags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                      &process)) {
    return false;
  }
  // Nothing waits for the agent: its handles are closed at once.
  UniqueHandle thread(process.hThread);
  UniqueHandle child(process.hProcess);
  return true;
}

}  // namespace

std::expected<std::filesystem::path, IoError> running_executable_final_path() {
  auto name = module_file_name();
  if (!name) return std::unexpected(name.error());
  auto resolved = final_path(*name);
  if (!resolved) return std::unexpected(resolved.error());
  return std::filesystem::path(*resolved);
}

std::filesystem::path ordinary_path(const std::filesystem::path& path) {
  return win32::ordinary_form(path.native());
}

std::expected<void, IoError> start_detached_process(const std::filesystem::path& program) {
  UniqueHandle input = null_device(GENERIC_READ);
  UniqueHandle output = null_device(GENERIC_WRITE);
  UniqueHandle error = inheritable(GetStdHandle(STD_ERROR_HANDLE));
  std::vector<HANDLE> only;
  for (HANDLE h : {input.get(), output.get(), error.get()}) {
    if (h != nullptr) only.push_back(h);
  }
  HandleList inherit(only);
  // Without the list every inheritable handle of the host, the browser's pipes among them,
  // would reach the agent: better not to start it.
  if (inherit.list == nullptr) return std::unexpected(last_error());
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output.get();
  startup.StartupInfo.hStdError = error.get();
  startup.lpAttributeList = inherit.list;
  // The agent outlives the host, even when the browser runs the host inside a job that ends
  // with it; a job that forbids breaking away still gets the agent, inside the job.
  if (create(program.native(), startup, CREATE_BREAKAWAY_FROM_JOB)) return {};
  if (GetLastError() == ERROR_ACCESS_DENIED && create(program.native(), startup, 0)) return {};
  return std::unexpected(last_error());
}

}  // namespace velmora::platform
