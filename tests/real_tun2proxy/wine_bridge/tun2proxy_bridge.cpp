// tun2proxy-bridge: the Linux end of tun2proxy_bridge_dll. It serves the DLL's calls
// (bridge_wire.h) on 127.0.0.1 over the real libtun2proxy.so, one thread per connection,
// so that a run call blocks on its own connection while a stop comes on another.
//
//   tun2proxy-bridge [--for SECONDS]
//
// Prints "listening on 127.0.0.1:<port>" once it accepts connections, then one line per
// call with its result; the library's messages (after "log set") go to stderr. Ends on
// SIGINT or SIGTERM, or after SECONDS (default 900): a run still inside is stopped first.
// A run connection that its caller closes before the reply is taken for a stop: the
// process that asked for the run is gone.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "tests/real_tun2proxy/net_client.h"
#include "tests/real_tun2proxy/wine_bridge/bridge_wire.h"
#include "tests/support/test_support.h"
#include "tunnel/tun2proxy.h"

namespace brumo::t2p_bridge {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kStopRepeat = 1s;
constexpr auto kShutdownBound = 15s;

std::atomic<bool> g_ending{false};
std::atomic<int> g_runs_inside{0};
std::mutex g_mutex;  // one line of output at a time

void OnSignal(int) { g_ending.store(true); }

void Say(const std::string& line) {
  const std::lock_guard<std::mutex> lock(g_mutex);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void PrintLibraryMessage(int level, const char* message, void*) {
  std::fprintf(stderr, "tun2proxy[%d]: %s\n", level, message == nullptr ? "" : message);
}

// Answers the caller; a caller gone meanwhile is not told.
void Reply(int fd, int value) {
  std::string error;
  real_net::SendAll(fd, std::to_string(value) + "\n", error);
}

// The request's lines, or none when it is incomplete, unknown or too long. Each receive
// waits at most real_net::kIoTimeout, the listener's, which an accepted socket inherits.
std::vector<std::string> ReadRequest(int fd) {
  std::string text;
  char buffer[512];
  for (;;) {
    std::vector<std::string> lines = Lines(text);
    const std::size_t wanted = lines.empty() ? 1 : RequestLines(lines.front());
    if (wanted == 0) return {};
    if (lines.size() >= wanted) {
      lines.resize(wanted);
      return lines;
    }
    const ssize_t n = text.size() > kMaxRequest ? 0 : ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return {};
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// True when the peer has closed its side (or the connection failed).
bool PeerGone(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
  char byte = 0;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Runs the real library's run call on a thread of its own and answers when it returns; a
// caller gone, or the bridge ending, stops it meanwhile.
void ServeRun(int fd, const RunRequest& run) {
  Say(tun2proxy_standin::LogLine(run));
  ++g_runs_inside;
  std::future<int> returned = std::async(std::launch::async, [&] {
    return tun2proxy_with_name_run(run.proxy_url.c_str(), run.tun.c_str(), run.bypass.c_str(),
                                   run.dns_strategy, run.root_privilege, run.verbosity);
  });
  const Clock::time_point started = Clock::now();
  Clock::time_point next_stop = Clock::time_point::min();
  bool stopping = false;
  while (returned.wait_for(100ms) != std::future_status::ready) {
    if (!stopping && (PeerGone(fd) || g_ending.load())) {
      stopping = true;
      Say("run: its caller is gone or the bridge ends: stopping it");
    }
    if (stopping && Clock::now() >= next_stop) {
      Say("stop (by the bridge) -> " + std::to_string(tun2proxy_stop()));
      next_stop = Clock::now() + kStopRepeat;
    }
  }
  const int result = returned.get();
  --g_runs_inside;
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
  Say("run -> " + std::to_string(result) + " after " + std::to_string(took) + " ms");
  Reply(fd, result);
}

void Serve(ScopedFd connection) {
  const int fd = connection.get();
  const std::vector<std::string> lines = ReadRequest(fd);
  if (lines.empty()) {
    Say("refused a connection: no complete request");
  } else if (lines.front() == "stop") {
    const int result = tun2proxy_stop();
    Say("stop -> " + std::to_string(result));
    Reply(fd, result);
  } else if (lines.front().starts_with("log ")) {
    const bool set = lines.front() == "log set";
    tun2proxy_set_log_callback(set ? PrintLibraryMessage : nullptr, nullptr);
    Say(std::string("set_log_callback callback=") + (set ? "set" : "null"));
    Reply(fd, 0);
  } else if (const std::optional<RunRequest> run = DecodeRun(lines)) {
    ServeRun(fd, *run);
  } else {
    Say("refused a run request that is not one");
  }
}

int Main(int argc, char** argv) {
  long seconds = 900;
  if (argc == 3 && std::string(argv[1]) == "--for") seconds = std::strtol(argv[2], nullptr, 10);
  if (argc != 1 && (argc != 3 || seconds <= 0)) {
    std::fprintf(stderr, "usage: tun2proxy-bridge [--for SECONDS]\n");
    return 2;
  }
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);

  std::string error;
  const ScopedFd listener = real_net::ListenTcp({"127.0.0.1", kPort}, error);
  if (!listener) {
    std::fprintf(stderr, "tun2proxy-bridge: cannot listen on 127.0.0.1: %s\n", error.c_str());
    return 1;
  }
  Say("listening on 127.0.0.1:" + std::to_string(kPort));
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  while (!g_ending.load() && Clock::now() < until) {
    pollfd p{listener.get(), POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    ScopedFd connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection) std::thread(Serve, std::move(connection)).detach();
  }
  // The runs inside see g_ending and stop themselves; their threads answer and end.
  g_ending.store(true);
  const bool ended = test_support::WaitUntil([] { return g_runs_inside == 0; }, kShutdownBound);
  Say(ended ? "ended" : "ended with a run still inside");
  // Serving threads may still be answering or reading a request; they are detached and go
  // with the process, before anything they use is destroyed.
  std::this_thread::sleep_for(100ms);
  std::_Exit(ended ? 0 : 1);
}

}  // namespace
}  // namespace brumo::t2p_bridge

int main(int argc, char** argv) { return brumo::t2p_bridge::Main(argc, argv); }
