// What the host must never do whatever it is sent: hand its sockets to programs it starts, write
// a file, or let hostile frame lengths cost memory beyond a few of the largest frames. (That no
// token reaches its output is checked after every case, by the fixture.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "agent_fixture.h"
#include "loopback.h"
#include "process_stats.h"

namespace velmora::blackbox {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using SafetyTest = AgentTest;

// ---- No socket for programs the host starts --------------------------------------------------

// The descriptors of a running process that are sockets, with their open flags (octal).
std::map<int, unsigned long> socket_flags(pid_t pid) {
  std::map<int, unsigned long> out;
  const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(fds, error)) {
    auto target = fs::read_symlink(entry.path(), error);
    if (error || !target.string().starts_with("socket:")) continue;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" +
                       entry.path().filename().string());
    for (std::string line; std::getline(info, line);) {
      if (line.starts_with("flags:")) {
        out[std::stoi(entry.path().filename().string())] = std::stoul(line.substr(6), nullptr, 8);
      }
    }
  }
  return out;
}

TEST_F(SafetyTest, EverySocketOfTheLinkedHostIsClosedOnExec) {
  if (under_wine()) {
    GTEST_SKIP() << "Windows sockets have no descriptors here; the Windows build creates them "
                    "without inheritance, and starts the agent with an explicit handle list";
  }
  constexpr unsigned long kCloseOnExec = 02000000;
  ASSERT_TRUE(StartAgent({listening()}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  ASSERT_TRUE(Succeeded(host->write_frame("relaying")));  // the forwarder runs by now
  ASSERT_TRUE(AgentReceived(agent(), 0, {Bytes(kHello), "relaying"}));
  auto sockets = socket_flags(host->pid());
  EXPECT_GE(sockets.size(), 2u) << "the connection and its duplicate";
  for (const auto& [fd, flags] : sockets) {
    EXPECT_NE(flags & kCloseOnExec, 0u) << "socket descriptor " << fd << " would be inherited";
  }
  host->close_stdin();
  EXPECT_TRUE(EndsQuietly(*host));
}

// ---- No file written --------------------------------------------------------------------------

// Every entry under `root`: its kind, size and modification time. Equal snapshots mean nothing
// was created, removed or written, even by a process that permissions would not stop (root).
std::map<std::string, std::string> snapshot(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0) continue;
    std::ostringstream line;
    line << info.st_mode << ' ' << info.st_size << ' ' << info.st_mtim.tv_sec << '.'
         << info.st_mtim.tv_nsec;
    out[fs::relative(entry.path(), root).string()] = line.str();
  }
  return out;
}

void make_read_only(const fs::path& root) {
  std::error_code ignored;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    fs::permissions(entry.path(),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove, ignored);
  }
  fs::permissions(root, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove, ignored);
}

void make_writable(const fs::path& root) {
  std::error_code ignored;
  fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (const auto& entry : fs::recursive_directory_iterator(root, ignored)) {
    fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  }
}

struct RunCase {
  const char* name;
  bool launch;  // a launch request that finds the agent running, else a link and relay
};

void PrintTo(const RunCase& row, std::ostream* out) {
  *out << row.name;
}

class ReadOnlyHome : public AgentTest, public testing::WithParamInterface<RunCase> {};

TEST_P(ReadOnlyHome, HostWritesNoFileThere) {
  // Roaming folder and current folder, and on Linux home and temporary folder, all lie in the
  // test's folder. Under Wine, home and temporary folder are Wine's own, which writes there;
  // a sanitizer's runtime writes to the temporary folder too.
  const fs::path work = scratch() / "work";
  fs::create_directories(work);
  ASSERT_TRUE(StartAgent());  // echoes
  Command command = host_setup().command(roaming());
  command.cwd = work;
  if (!under_wine()) {
    for (const char* name : {"HOME", "TMPDIR"}) {
      if (kInstrumented && std::string_view(name) == "TMPDIR") continue;
      const fs::path folder = scratch() / name;
      fs::create_directories(folder);
      command.env.emplace_back(name, folder.string());
    }
  }
  make_read_only(scratch());
  const auto before = snapshot(scratch());

  auto host = HostProcess::start(command);
  ASSERT_TRUE(host) << host.error();
  if (GetParam().launch) {
    ASSERT_TRUE(Succeeded(host->write_frame(R"({"op":"launch"})")));
    EXPECT_TRUE(NextFrameIs(*host, R"({"launched":false,"ok":true})"));
    EXPECT_TRUE(ExitsWith(*host, ExitStatus::exited(0)));
  } else {
    ASSERT_TRUE(Succeeded(host->write_frame("[1]")));
    EXPECT_TRUE(NextFrameIs(*host, kLinkedNotice));
    EXPECT_TRUE(NextFrameIs(*host, "[1]"));
    host->close_stdin();
    EXPECT_TRUE(EndsQuietly(*host));
  }
  EXPECT_EQ(snapshot(scratch()), before);
  make_writable(scratch());
}

INSTANTIATE_TEST_SUITE_P(Host, ReadOnlyHome,
                         testing::Values(RunCase{"link_and_relay", false},
                                         RunCase{"launch_request", true}),
                         NameOfRow{});

// ---- Hostile lengths ---------------------------------------------------------------------------

// A few of the largest frames at a time, and the host itself.
constexpr long kMemoryBoundKib = (4 * MAX_FRAME_LEN + 16 * 1024 * 1024) / 1024;
constexpr int kLargestFrames = 8;
constexpr std::uint32_t kHostileLength = 0xFFFF'FFFF;

struct HostileCase {
  const char* name;
  bool from_agent;
};

void PrintTo(const HostileCase& row, std::ostream* out) {
  *out << row.name;
}

// Cases that read the host's memory from the kernel.
template <typename Param>
class MemoryTest : public AgentTestWithParam<Param> {
 protected:
  void SetUp() override {
    if (this->under_wine()) GTEST_SKIP() << "a Wine process's memory is mostly Wine's own";
    if (kInstrumented) GTEST_SKIP() << "sanitizers keep freed memory in quarantine";
    AgentTest::SetUp();
  }
};

using HostileLengths = MemoryTest<HostileCase>;

// Samples a process's peak memory until destroyed; the peak only grows, so a late sample
// covers everything before it.
class MemoryWatch {
 public:
  explicit MemoryWatch(pid_t pid)
      : thread_([this, pid](std::stop_token stop) {
          while (!stop.stop_requested()) {
            if (auto kib = peak_memory_kib(pid)) peak_ = std::max(peak_.load(), *kib);
            std::this_thread::sleep_for(2ms);
          }
        }) {}
  long peak() const { return peak_; }

 private:
  std::atomic<long> peak_ = 0;
  std::jthread thread_;
};

// Frames of the largest size, one after the other, then a length far above it: the host holds
// no more than a frame or two at a time, and never allocates for the length it rejects.
TEST_P(HostileLengths, PeakMemoryStaysWithinAFewLargestFrames) {
  const Bytes largest(MAX_FRAME_LEN, 'L');
  Bytes from_agent;
  if (GetParam().from_agent) {
    for (int i = 0; i < kLargestFrames; ++i) from_agent += frame(largest);
    from_agent += length_prefix(kHostileLength);
  }
  ASSERT_TRUE(StartAgent({{.send_after_reply = from_agent, .then = AgentScript::Then::Listen}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  MemoryWatch watch(host->pid());
  ASSERT_TRUE(NextFrameIs(*host, kLinkedNotice));
  if (GetParam().from_agent) {
    for (int i = 0; i < kLargestFrames; ++i) ASSERT_TRUE(NextFrameIs(*host, largest, 60s));
    EXPECT_TRUE(EndsWith(*host, ExitStatus::exited(1), "velmora-web-host: bad frame length\n"));
  } else {
    for (int i = 0; i < kLargestFrames; ++i) {
      ASSERT_TRUE(Succeeded(host->write_frame(largest, 60s)));
      // Paced by the agent: the queue to it is unbounded by design, its growth is not at issue.
      ASSERT_TRUE(agent().wait_for_frames(0, 2 + static_cast<std::size_t>(i), 60s));
    }
    ASSERT_TRUE(Succeeded(host->write(length_prefix(kHostileLength))));
    EXPECT_TRUE(EndsQuietly(*host));
  }
  std::cout << "[ memory   ] peak " << watch.peak() << " KiB, bound " << kMemoryBoundKib << " KiB"
            << std::endl;
  EXPECT_GT(watch.peak(), 0);
  EXPECT_LT(watch.peak(), kMemoryBoundKib);
}

using HostileReply = HostileLengths;

// A reply of the largest size that nests nothing is judged without a tree of it.
TEST_F(HostileReply, LargestReplyIsJudgedWithinAFewTimesItsSize) {
  Bytes reply = "[0";
  while (reply.size() + 3 <= MAX_FRAME_LEN) reply += ",0";
  reply += ']';
  ASSERT_TRUE(StartAgent({{.reply = frame(reply), .then = AgentScript::Then::Listen}}));
  auto host = start();
  ASSERT_TRUE(host) << host.error();
  MemoryWatch watch(host->pid());
  EXPECT_TRUE(
      EndsWith(*host, ExitStatus::exited(1), "velmora-web-host: agent refused the connection\n"));
  std::cout << "[ memory   ] peak " << watch.peak() << " KiB" << std::endl;
  EXPECT_GT(watch.peak(), 0);
  EXPECT_LT(watch.peak(), 64 * 1024);
}

// ---- Memory reused while frames flow, and given back after ------------------------------------

struct StreamCase {
  const char* name;
  std::size_t size;
  std::size_t frames;
  // Frames sent ahead of the agent at most: an agent that keeps up. 0: all are sent before the
  // agent reads.
  std::size_t window;
  std::size_t per_write = 0;  // frames in each write, 1: each once the one before was read;
                              // 0: about a MiB of them
  int full_socket = 0;   // the agent's receive buffer in bytes, filled first by frames that the
                         // host writes at once, not queued; 0: the system's, none
  bool trickle = false;  // once drained, a 20 KiB frame every 250 ms goes on all along
};

void PrintTo(const StreamCase& row, std::ostream* out) {
  *out << row.name;
}

using Stream = MemoryTest<StreamCase>;

// Reads and drops `total` bytes from the connection, counting them in `received`.
void drain(int fd, std::size_t total, std::atomic<std::size_t>& received) {
  std::vector<char> buffer(1 << 20);
  while (received < total) {
    ssize_t count = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (count <= 0) return;
    received += static_cast<std::size_t>(count);
  }
}

// The room of one of the host's standard pipes, through the process's own descriptor.
int pipe_room(pid_t pid, int fd) {
  UniqueFd pipe(::open(("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd)).c_str(),
                       O_RDONLY | O_NONBLOCK));
  return pipe ? ::fcntl(pipe.get(), F_GETPIPE_SZ) : -1;
}

// Bytes in the host's standard input not read yet.
int unread_input(pid_t pid) {
  UniqueFd pipe(::open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK));
  int count = -1;
  return pipe && ::ioctl(pipe.get(), FIONREAD, &count) == 0 ? count : -1;
}

// Bytes that the host's end of `connection` holds, not yet taken by this end.
long unsent_by_host(int connection) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (::getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &size) != 0) return -1;
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", ntohs(peer.sin_port));
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;  // queues: "sending:receiving", in hex
    fields >> slot >> local >> remote >> state >> queues;
    if (local.ends_with(port)) return std::stol(queues.substr(0, queues.find(':')), nullptr, 16);
  }
  return -1;
}

// The extension's frames, in writes of about a MiB each, never more than `window` frames ahead
// of what the agent received.
void send_frames(HostProcess& host, const StreamCase& row,
                 const std::atomic<std::size_t>& received) {
  const Bytes one = frame(Bytes(row.size, 'p'));
  const std::size_t per_write =
      row.per_write > 0 ? row.per_write : std::max<std::size_t>(1, (1 << 20) / one.size());
  Bytes chunk;
  for (std::size_t i = 0; i < per_write; ++i) chunk += one;
  for (std::size_t sent = 0; sent < row.frames; sent += per_write) {
    while (row.window > 0 && sent >= received / one.size() + row.window) {
      std::this_thread::sleep_for(50us);
    }
    std::size_t now = std::min(per_write, row.frames - sent);
    ASSERT_TRUE(Succeeded(host.write(std::string_view(chunk).substr(0, now * one.size()), 60s)));
    // One frame per read: a run on the heap for each.
    while (row.per_write == 1 && unread_input(host.pid()) > 0) std::this_thread::yield();
  }
}

// Waits up to `limit` for `done`, and gives whether it came.
template <typename Done>
bool comes_within(Duration limit, Done done) {
  for (Deadline deadline(limit); !deadline.passed(); std::this_thread::sleep_for(20ms)) {
    if (done()) return true;
  }
  return done();
}

// Counted by the kernel, not timed. A steady stream, at any size from 64 KiB up, takes fresh
// pages for the buffers of the frames in flight and then reuses them, however many frames follow
// (a relay that mapped a buffer per frame paid a fault per 4 KiB of each). After any stream, a
// backlog of small frames too (of one byte each, or with small frames still coming), resident
// memory is back near where it was within a second, and the pipes at their own size.
TEST_P(Stream, ReusesTheBuffersInFlightAndGivesTheMemoryBackOnceIdle) {
  const StreamCase& row = GetParam();
  auto link = StartLinkedWithBareAgent(row.full_socket);
  ASSERT_TRUE(link) << link.error();
  const pid_t pid = link->host.pid();

  const long rss_before = status_kib(pid, "VmRSS");
  const long faults_before = minor_faults(pid);
  // The user's pipe budget goes to hosts that carry bulk traffic, not to every idle one.
  const int default_room = pipe_room(pid, 0);
  EXPECT_EQ(pipe_room(pid, 1), default_room);
  // Bulk traffic, large frames or a burst of small ones, grows the pipes while it lasts and for
  // half a second after: looked for at once, before that quiet period can pass.
  auto grown = [&] { return pipe_room(pid, 0) > default_room && pipe_room(pid, 1) > default_room; };
  std::atomic<std::size_t> received = 0;
  std::size_t filled = 0;  // bytes
  // Until the host queues them: its end of the connection stops taking them.
  for (int still = 0; row.full_socket > 0 && still < 8 && filled < (64 << 20);
       filled += 4 + (8 << 10)) {
    const long before = unsent_by_host(link->connection.get());
    ASSERT_TRUE(Succeeded(link->host.write_frame(Bytes(8 << 10, 'f'))));
    while (unread_input(pid) > 0) std::this_thread::yield();
    still = unsent_by_host(link->connection.get()) > before ? 0 : still + 1;
  }
  {
    const std::size_t total = filled + row.frames * (4 + row.size);
    std::optional<std::jthread> agent;
    if (row.window > 0) agent.emplace([&] { drain(link->connection.get(), total, received); });
    send_frames(link->host, row, received);
    if (row.per_write == 0) {
      EXPECT_TRUE(comes_within(2s, grown)) << "after the stream";
    }
    if (row.window == 0) drain(link->connection.get(), total, received);
  }
  const long faults = minor_faults(pid) - faults_before;
  std::optional<std::jthread> trickle;
  if (row.trickle) {
    trickle.emplace([&link](const std::stop_token& stop) {
      while (!stop.stop_requested() && link->host.write_frame(Bytes(20 << 10, 't'))) {
        std::this_thread::sleep_for(250ms);
      }
    });
  }
  // The pages of the buffers in flight, one being filled and one being written, and the heap's
  // odd page.
  const long bound = static_cast<long>((row.window + 2) * (row.size / 4096 + 2)) + 1000;
  if (row.window > 0) {
    EXPECT_LT(faults, bound) << "minor faults for " << row.frames << " frames";
  }
  long rss = 0;
  // Within a second, and within 640 KiB of the linked host: about 4 MiB here.
  comes_within(1s, [&] { return (rss = status_kib(pid, "VmRSS")) < rss_before + 640; });
  std::cout << "[ memory   ] " << faults << " minor faults (bound " << bound << "); resident "
            << rss_before << " KiB linked, " << rss << " KiB once idle" << std::endl;
  EXPECT_LT(rss, rss_before + 640);
  // Idle hosts leave the user's pipe budget to others: half a second after the bulk traffic.
  comes_within(
      2s, [&] { return pipe_room(pid, 0) == default_room && pipe_room(pid, 1) == default_room; });
  for (int fd : {0, 1}) EXPECT_EQ(pipe_room(pid, fd), default_room) << "descriptor " << fd;
  trickle.reset();
  link->host.close_stdin();
  EXPECT_TRUE(EndsQuietly(link->host));
}

INSTANTIATE_TEST_SUITE_P(
    Host, Stream,
    testing::Values(StreamCase{"steady_64_KiB", 64 << 10, 3000, 32},
                    StreamCase{"steady_1_MiB", 1 << 20, 400, 4},
                    StreamCase{"steady_16_MiB", MAX_FRAME_LEN, 48, 4},
                    StreamCase{"backlog_of_100_B_then_a_trickle", 100, 650'000, 0, 0, 0, true},
                    StreamCase{"backlog_of_1_B_behind_a_full_socket", 1, 150'000, 0, 1, 4096}),
    NameOfRow{});

// ---- The user's pipe budget ------------------------------------------------------------------

struct BudgetCase {
  const char* name;
  long pages;  // the budget all of a user's pipes share
};

void PrintTo(const BudgetCase& row, std::ostream* out) {
  *out << row.name;
}

using PipeBudget = AgentTestWithParam<BudgetCase>;

constexpr const char* kBudgetFile = "/proc/sys/fs/pipe-user-pages-soft";
constexpr const char* kAsOrdinaryUser = "VELMORA_AS_ORDINARY_USER";

long read_budget() {
  long pages = -1;
  std::ifstream(kBudgetFile) >> pages;
  return pages;
}

bool write_budget(long pages) {
  std::ofstream file(kBudgetFile);
  return static_cast<bool>(file << pages << std::endl);
}

// A new pipe's room, negative when it may not grow to a MiB.
int new_pipe_room() {
  auto pipe = make_pipe();
  const int room = pipe ? ::fcntl(pipe->read.get(), F_GETPIPE_SZ) : 0;
  return pipe && ::fcntl(pipe->read.get(), F_SETPIPE_SZ, 1 << 20) >= 0 ? room : -room;
}

// Root is exempt from the budget, so the case runs again as nobody, with the budget set for as
// long as that takes; hosts, their pipes and the probe are all that user's.
void run_as_ordinary_user(long pages) {
  if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv")) {
    GTEST_SKIP() << "needs root and setpriv: the budget is set, and the hosts run as nobody";
  }
  // One case at a time sets the budget, in any process.
  UniqueFd lock(::open(kBudgetFile, O_RDONLY | O_CLOEXEC));
  if (!lock || ::flock(lock.get(), LOCK_EX) != 0)
    GTEST_SKIP() << kBudgetFile << " cannot be locked";
  struct Restored {
    long pages = read_budget();
    ~Restored() {
      if (pages >= 0) write_budget(pages);
    }
  } before;
  if (before.pages < 0 || !write_budget(pages)) GTEST_SKIP() << kBudgetFile << " is not writable";
  const auto* test = testing::UnitTest::GetInstance()->current_test_info();
  const std::string command = std::string(kAsOrdinaryUser) +
                              "=1 timeout 100 setpriv --reuid=nobody --regid=nogroup "
                              "--clear-groups " +
                              fs::read_symlink("/proc/self/exe").string() +
                              " --gtest_filter=" + test->test_suite_name() + "." + test->name() +
                              " --host=" + host_setup().executable.string();
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
}

// Hosts that each carried bulk traffic, and are idle since: a pipe of theirs grew to no more than
// its share of the budget (the kernel rounds a size up to a power of two of pages), and once
// their quiet period has passed, every new pipe of the user has its normal room and may grow.
TEST_P(PipeBudget, HostsThatCarriedBulkTrafficLeaveTheUsersNewPipesAtTheirSize) {
  if (under_wine()) GTEST_SKIP() << "the pipe budget is Linux's";
  const BudgetCase& row = GetParam();
  if (std::getenv(kAsOrdinaryUser) == nullptr) return run_as_ordinary_user(row.pages);
  ASSERT_EQ(read_budget(), row.pages);
  const int normal_room = new_pipe_room();
  ASSERT_GT(normal_room, 0);
  const Bytes bulk(1 << 20, 'b');
  ASSERT_TRUE(StartAgent({{.send_after_reply = frame(bulk), .then = AgentScript::Then::Listen}}));
  const long share = row.pages / 64 * ::sysconf(_SC_PAGESIZE);
  constexpr std::size_t kHosts = 64;
  std::vector<HostProcess> hosts;
  hosts.reserve(kHosts);
  for (std::size_t i = 0; i < kHosts; ++i) {
    auto host = start();
    ASSERT_TRUE(host) << host.error();
    hosts.push_back(std::move(*host));
  }
  int largest = 0;
  for (HostProcess& host : hosts) {
    ASSERT_TRUE(NextFrameIs(host, kLinkedNotice));
    ASSERT_TRUE(NextFrameIs(host, bulk, 30s));
    ASSERT_TRUE(Succeeded(host.write_frame(bulk, 30s)));
    for (int fd : {0, 1}) largest = std::max(largest, pipe_room(host.pid(), fd));
  }
  EXPECT_GT(largest, normal_room) << "no pipe grew";
  EXPECT_LE(largest, share) << "the largest pipe of a host";
  for (std::size_t i = 0; i < kHosts; ++i) ASSERT_TRUE(agent().wait_for_frames(i, 2, 30s));
  int room = 0;
  comes_within(3s, [&] { return (room = new_pipe_room()) == normal_room; });
  EXPECT_EQ(room, normal_room) << "a new pipe's room, negative when it could not grow";
}

INSTANTIATE_TEST_SUITE_P(Host, PipeBudget,
                         testing::Values(BudgetCase{"kernel_default", 16384},
                                         BudgetCase{"lowered_to_10000_pages", 10000}),
                         NameOfRow{});

INSTANTIATE_TEST_SUITE_P(Host, HostileLengths,
                         testing::Values(HostileCase{"from_the_extension", false},
                                         HostileCase{"from_the_agent", true}),
                         NameOfRow{});

}  // namespace
}  // namespace velmora::blackbox
