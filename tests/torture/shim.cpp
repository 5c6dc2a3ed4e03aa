// Preloaded into the host by the torture run (LD_PRELOAD): counts the host's calls to each system
// function below and fails one chosen call with a chosen error, without calling the system.
//
//   VELMORA_TORTURE_LOG=PATH      where to append "fired ..." when the failure is injected and
//                                 "count <function> <calls>" per function when the host ends
//   VELMORA_TORTURE_FAIL=NAME:N   fail the N-th call of function NAME (counted from 1)
//   VELMORA_TORTURE_ERRNO=E       the error given to it
//
// Only a process named velmora-web-host is watched: the agent the host starts inherits the
// preload, and must run untouched. Calls that the loader and libc make internally never go
// through these symbols, so only the host's own calls (and libstdc++'s for it) are counted.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

enum Function {
  Socket,
  Connect,
  Poll,
  Getsockopt,
  Setsockopt,
  Fcntl,
  Recv,
  Send,
  Sendmsg,
  Sendto,
  Recvfrom,
  Getsockname,
  Getpeername,
  Read,
  Write,
  Writev,
  Open,
  Fstat,
  Stat,
  Lstat,
  Readlink,
  PosixSpawn,
  PthreadCreate,
  Malloc,
  Mmap,
  FunctionCount
};

constexpr const char* NAMES[FunctionCount] = {
    "socket",   "connect",     "poll",           "getsockopt", "setsockopt",
    "fcntl",    "recv",        "send",           "sendmsg",    "sendto",
    "recvfrom", "getsockname", "getpeername",    "read",       "write",
    "writev",   "open",        "fstat",          "stat",       "lstat",
    "readlink", "posix_spawn", "pthread_create", "malloc",     "mmap"};

std::atomic<long> calls[FunctionCount];
bool watched = false;
int fail_function = -1;
long fail_call = 0;
int fail_errno = EIO;
const char* log_path = nullptr;

// The log is written with raw system calls: the wrappers below must not count the shim itself.
void log_line(const char* text) {
  if (log_path == nullptr) return;
  long fd =
      syscall(SYS_openat, AT_FDCWD, log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  syscall(SYS_write, fd, text, std::strlen(text));
  syscall(SYS_close, fd);
}

__attribute__((constructor)) void configure() {
  watched = std::string_view(program_invocation_short_name) == "velmora-web-host";
  log_path = std::getenv("VELMORA_TORTURE_LOG");
  if (const char* e = std::getenv("VELMORA_TORTURE_ERRNO")) fail_errno = std::atoi(e);
  const char* fail = std::getenv("VELMORA_TORTURE_FAIL");
  const char* colon = fail != nullptr ? std::strchr(fail, ':') : nullptr;
  if (colon == nullptr) return;
  std::string_view name(fail, static_cast<std::size_t>(colon - fail));
  for (int f = 0; f < FunctionCount; ++f) {
    if (name == NAMES[f]) fail_function = f;
  }
  fail_call = std::atol(colon + 1);
}

// Whether this call is the one to fail; records it when it is. `detail` is the descriptor, or
// fcntl's command, so that the driver can tell which of the host's calls it was.
bool inject(Function f, long detail) {
  if (!watched) return false;
  long n = ++calls[f];
  if (f != fail_function || n != fail_call) return false;
  bool main_thread = syscall(SYS_gettid) == getpid();
  char line[160];
  std::snprintf(line, sizeof line, "fired %s %s %ld %d\n", NAMES[f],
                main_thread ? "main" : "thread", detail, fail_errno);
  log_line(line);
  errno = fail_errno;
  return true;
}

template <typename Signature>
Signature* next(const char* name) {
  return reinterpret_cast<Signature*>(dlsym(RTLD_NEXT, name));
}

std::atomic<bool> counts_written{false};

void write_counts() {
  if (!watched || counts_written.exchange(true)) return;
  char line[96];
  for (int f = 0; f < FunctionCount; ++f) {
    std::snprintf(line, sizeof line, "count %s %ld\n", NAMES[f], calls[f].load());
    log_line(line);
  }
}

__attribute__((destructor)) void on_unload() {
  write_counts();
}

}  // namespace

// Each wrapper gets its symbol through an assembler name, so that it need not repeat the
// libc header's declaration word for word (its noexcept and attributes).
#define VELMORA_AS(symbol) __asm__(symbol)

extern "C" {

[[noreturn]] void torture_exit(int status) VELMORA_AS("_exit");
void torture_exit(int status) {
  // The host ends with _exit, which runs no destructors.
  write_counts();
  syscall(SYS_exit_group, status);
  __builtin_unreachable();
}

int torture_socket(int domain, int type, int protocol) VELMORA_AS("socket");
int torture_socket(int domain, int type, int protocol) {
  static auto real = next<int(int, int, int)>("socket");
  return inject(Socket, -1) ? -1 : real(domain, type, protocol);
}

int torture_connect(int fd, const sockaddr* address, socklen_t size) VELMORA_AS("connect");
int torture_connect(int fd, const sockaddr* address, socklen_t size) {
  static auto real = next<int(int, const sockaddr*, socklen_t)>("connect");
  return inject(Connect, fd) ? -1 : real(fd, address, size);
}

int torture_poll(pollfd* fds, nfds_t count, int timeout) VELMORA_AS("poll");
int torture_poll(pollfd* fds, nfds_t count, int timeout) {
  static auto real = next<int(pollfd*, nfds_t, int)>("poll");
  return inject(Poll, -1) ? -1 : real(fds, count, timeout);
}

int torture_getsockopt(int fd, int level, int name, void* value, socklen_t* size)
    VELMORA_AS("getsockopt");
int torture_getsockopt(int fd, int level, int name, void* value, socklen_t* size) {
  static auto real = next<int(int, int, int, void*, socklen_t*)>("getsockopt");
  return inject(Getsockopt, fd) ? -1 : real(fd, level, name, value, size);
}

int torture_setsockopt(int fd, int level, int name, const void* value, socklen_t size)
    VELMORA_AS("setsockopt");
int torture_setsockopt(int fd, int level, int name, const void* value, socklen_t size) {
  static auto real = next<int(int, int, int, const void*, socklen_t)>("setsockopt");
  return inject(Setsockopt, fd) ? -1 : real(fd, level, name, value, size);
}

int torture_fcntl(int fd, int command, ...) VELMORA_AS("fcntl");
int torture_fcntl(int fd, int command, ...) {
  static auto real = next<int(int, int, ...)>("fcntl");
  va_list args;
  va_start(args, command);
  unsigned long argument = va_arg(args, unsigned long);
  va_end(args);
  return inject(Fcntl, command) ? -1 : real(fd, command, argument);
}

ssize_t torture_recv(int fd, void* buffer, size_t size, int flags) VELMORA_AS("recv");
ssize_t torture_recv(int fd, void* buffer, size_t size, int flags) {
  static auto real = next<ssize_t(int, void*, size_t, int)>("recv");
  return inject(Recv, fd) ? -1 : real(fd, buffer, size, flags);
}

ssize_t torture_send(int fd, const void* buffer, size_t size, int flags) VELMORA_AS("send");
ssize_t torture_send(int fd, const void* buffer, size_t size, int flags) {
  static auto real = next<ssize_t(int, const void*, size_t, int)>("send");
  return inject(Send, fd) ? -1 : real(fd, buffer, size, flags);
}

ssize_t torture_sendmsg(int fd, const msghdr* message, int flags) VELMORA_AS("sendmsg");
ssize_t torture_sendmsg(int fd, const msghdr* message, int flags) {
  static auto real = next<ssize_t(int, const msghdr*, int)>("sendmsg");
  return inject(Sendmsg, fd) ? -1 : real(fd, message, flags);
}

ssize_t torture_sendto(int fd, const void* buffer, size_t size, int flags, const sockaddr* to,
                       socklen_t to_size) VELMORA_AS("sendto");
ssize_t torture_sendto(int fd, const void* buffer, size_t size, int flags, const sockaddr* to,
                       socklen_t to_size) {
  static auto real =
      next<ssize_t(int, const void*, size_t, int, const sockaddr*, socklen_t)>("sendto");
  return inject(Sendto, fd) ? -1 : real(fd, buffer, size, flags, to, to_size);
}

ssize_t torture_recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                         socklen_t* from_size) VELMORA_AS("recvfrom");
ssize_t torture_recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                         socklen_t* from_size) {
  static auto real = next<ssize_t(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
  return inject(Recvfrom, fd) ? -1 : real(fd, buffer, size, flags, from, from_size);
}

int torture_getsockname(int fd, sockaddr* address, socklen_t* size) VELMORA_AS("getsockname");
int torture_getsockname(int fd, sockaddr* address, socklen_t* size) {
  static auto real = next<int(int, sockaddr*, socklen_t*)>("getsockname");
  return inject(Getsockname, fd) ? -1 : real(fd, address, size);
}

int torture_getpeername(int fd, sockaddr* address, socklen_t* size) VELMORA_AS("getpeername");
int torture_getpeername(int fd, sockaddr* address, socklen_t* size) {
  static auto real = next<int(int, sockaddr*, socklen_t*)>("getpeername");
  return inject(Getpeername, fd) ? -1 : real(fd, address, size);
}

ssize_t torture_read(int fd, void* buffer, size_t size) VELMORA_AS("read");
ssize_t torture_read(int fd, void* buffer, size_t size) {
  static auto real = next<ssize_t(int, void*, size_t)>("read");
  return inject(Read, fd) ? -1 : real(fd, buffer, size);
}

ssize_t torture_write(int fd, const void* buffer, size_t size) VELMORA_AS("write");
ssize_t torture_write(int fd, const void* buffer, size_t size) {
  static auto real = next<ssize_t(int, const void*, size_t)>("write");
  return inject(Write, fd) ? -1 : real(fd, buffer, size);
}

ssize_t torture_writev(int fd, const iovec* parts, int count) VELMORA_AS("writev");
ssize_t torture_writev(int fd, const iovec* parts, int count) {
  static auto real = next<ssize_t(int, const iovec*, int)>("writev");
  return inject(Writev, fd) ? -1 : real(fd, parts, count);
}

int torture_open(const char* path, int flags, ...) VELMORA_AS("open");
int torture_open(const char* path, int flags, ...) {
  static auto real = next<int(const char*, int, ...)>("open");
  va_list args;
  va_start(args, flags);
  unsigned int mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, unsigned int) : 0;
  va_end(args);
  return inject(Open, -1) ? -1 : real(path, flags, mode);
}

int torture_fstat(int fd, struct stat* info) VELMORA_AS("fstat");
int torture_fstat(int fd, struct stat* info) {
  static auto real = next<int(int, struct stat*)>("fstat");
  return inject(Fstat, fd) ? -1 : real(fd, info);
}

int torture_stat(const char* path, struct stat* info) VELMORA_AS("stat");
int torture_stat(const char* path, struct stat* info) {
  static auto real = next<int(const char*, struct stat*)>("stat");
  return inject(Stat, -1) ? -1 : real(path, info);
}

int torture_lstat(const char* path, struct stat* info) VELMORA_AS("lstat");
int torture_lstat(const char* path, struct stat* info) {
  static auto real = next<int(const char*, struct stat*)>("lstat");
  return inject(Lstat, -1) ? -1 : real(path, info);
}

ssize_t torture_readlink(const char* path, char* buffer, size_t size) VELMORA_AS("readlink");
ssize_t torture_readlink(const char* path, char* buffer, size_t size) {
  static auto real = next<ssize_t(const char*, char*, size_t)>("readlink");
  return inject(Readlink, -1) ? -1 : real(path, buffer, size);
}

// These two give their error as the result, not in errno.
int torture_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attributes, char* const argv[], char* const envp[])
    VELMORA_AS("posix_spawn");
int torture_posix_spawn(pid_t* pid, const char* path, const posix_spawn_file_actions_t* actions,
                        const posix_spawnattr_t* attributes, char* const argv[],
                        char* const envp[]) {
  static auto real =
      next<int(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
               char* const[], char* const[])>("posix_spawn");
  if (inject(PosixSpawn, -1)) return fail_errno;
  return real(pid, path, actions, attributes, argv, envp);
}

int torture_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                           void* (*body)(void*), void* argument) VELMORA_AS("pthread_create");
int torture_pthread_create(pthread_t* thread, const pthread_attr_t* attributes,
                           void* (*body)(void*), void* argument) {
  static auto real =
      next<int(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>("pthread_create");
  if (inject(PthreadCreate, -1)) return fail_errno;
  return real(thread, attributes, body, argument);
}

void* __libc_malloc(size_t size);
void* torture_malloc(size_t size) VELMORA_AS("malloc");
void* torture_malloc(size_t size) {
  return inject(Malloc, static_cast<long>(size)) ? nullptr : __libc_malloc(size);
}

// Large frames' pages; the C library's own mappings (the heap's, thread stacks) do not come
// through here.
void* torture_mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset)
    VELMORA_AS("mmap");
void* torture_mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
  static auto real = next<void*(void*, size_t, int, int, int, off_t)>("mmap");
  if (inject(Mmap, static_cast<long>(length))) return MAP_FAILED;
  return real(address, length, protection, flags, fd, offset);
}

}  // extern "C"
