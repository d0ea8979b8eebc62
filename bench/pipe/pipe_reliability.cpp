// Reliability figures of the control pipe server over real pipes, serving the real tunnel
// controller over the stand-ins (run under Wine by bench/pipe/run, or on Windows as it is):
//   1. connect-and-drop cycles: a client opens the pipe and closes it at once;
//   2. full exchanges: one "active" request, the whole reply, the server's disconnect;
//   3. four clients at once for a while, each retrying on ERROR_PIPE_BUSY: every
//      connection must carry exactly one complete reply;
//   4. Stop at random moments under that load: its latency.
// After 1 and 2 the server must still serve and the process's handle count must be back
// within +-5 of where it started. Exit code 0 when every figure is within its bound.
//
// Usage: pipe_reliability [cycles=10000] [contention_seconds=10] [stops=200]
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "control/control_pipe_server.h"
#include "dnsguard/dns_leak_guard.h"
#include "tests/support/pipe_client.h"
#include "tests/support/system_query_win.h"
#include "tests/support/test_support.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::string_view kRequest = test_support::kActiveRequest;
constexpr std::string_view kReply = test_support::kInactiveReply;
constexpr long kHandleSlack = 5;

// The process's open handles. GetProcessHandleCount where it works; Wine 8 answers it with
// 0, so then this process's entries in the system handle table are counted instead.
long HandleCount() {
  DWORD count = 0;
  if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return count;
  return system_query::CountHandles(::GetCurrentProcessId());
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool StillServes() {
  const test_support::Exchange exchange = test_support::RoundTrip(kRequest, milliseconds(10000));
  return exchange.reply.bytes == kReply && test_support::IsDisconnect(exchange.reply.end_error);
}

bool Check(bool ok, const char* what) {
  std::printf("  %-58s %s\n", what, ok ? "ok" : "FAILED");
  return ok;
}

// Runs `one` `cycles` times, then reports how many failed (`failed` says how), the rate,
// and whether the server still serves with the handle count it had.
template <typename One>
bool Repeat(const char* what, const char* failed, const char* all_ok, int cycles, long baseline,
            One one) {
  int failures = 0;
  const auto start = Clock::now();
  for (int i = 0; i < cycles; ++i) failures += one() ? 0 : 1;
  const double took = Seconds(Clock::now() - start);
  const bool serves = StillServes();
  const long handles = HandleCount();
  std::printf("%s: %d in %.1f s (%.0f/s), %d %s; handles %ld -> %ld\n", what, cycles, took,
              cycles / took, failures, failed, baseline, handles);
  bool ok = Check(failures == 0, all_ok);
  ok &= Check(serves, "server still serves afterwards");
  ok &= Check(std::labs(handles - baseline) <= kHandleSlack, "handle count within +-5");
  return ok;
}

bool ConnectAndDrop(int cycles, long baseline) {
  return Repeat("connect-and-drop cycles", "never opened", "every cycle opened the pipe", cycles,
                baseline,
                [] { return static_cast<bool>(test_support::OpenWithin(milliseconds(10000))); });
}

bool FullExchanges(int cycles, long baseline) {
  return Repeat("full exchanges", "without their exact reply",
                "every exchange got exactly its reply", cycles, baseline, [] {
                  const test_support::Exchange exchange =
                      test_support::RoundTrip(kRequest, milliseconds(10000));
                  return exchange.reply.bytes == kReply &&
                         test_support::IsDisconnect(exchange.reply.end_error);
                });
}

struct ClientTally {
  long connections = 0;
  long complete = 0;  // exactly one whole reply, then the disconnect
  long busy = 0;      // ERROR_PIPE_BUSY answers while retrying
  long other = 0;     // connections that got anything else
};

// One client of the contention phase: open (retrying on ERROR_PIPE_BUSY and on the gap
// between two instances), write, read until the disconnect; until `until`.
void ContendingClient(Clock::time_point until, ClientTally* tally) {
  while (Clock::now() < until) {
    DWORD error = 0;
    ScopedFileHandle pipe = test_support::OpenOnce(&error);
    if (!pipe) {
      if (error == ERROR_PIPE_BUSY) {
        ++tally->busy;
        ::WaitNamedPipeW(kPipeName, 50);
      } else {
        std::this_thread::yield();
      }
      continue;
    }
    ++tally->connections;
    const bool written = test_support::WriteBytes(pipe.get(), kRequest);
    const test_support::ReadResult reply = test_support::ReadUntilEnd(pipe.get());
    if (written && reply.bytes == kReply && test_support::IsDisconnect(reply.end_error)) {
      ++tally->complete;
    } else {
      ++tally->other;
    }
  }
}

bool Contention(int seconds) {
  constexpr int kClients = 4;
  std::vector<ClientTally> tallies(kClients);
  std::vector<std::thread> clients;
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  for (ClientTally& tally : tallies) clients.emplace_back(ContendingClient, until, &tally);
  for (std::thread& client : clients) client.join();
  ClientTally total;
  for (int i = 0; i < kClients; ++i) {
    const ClientTally& t = tallies[i];
    std::printf("  client %d: %ld connections, %ld complete replies, %ld other, %ld busy answers\n",
                i, t.connections, t.complete, t.other, t.busy);
    total.connections += t.connections;
    total.complete += t.complete;
    total.other += t.other;
  }
  std::printf("contention: %d clients for %d s: %ld connections, %ld complete replies\n", kClients,
              seconds, total.connections, total.complete);
  bool ok = Check(total.other == 0 && total.complete == total.connections,
                  "every connection got exactly one complete reply");
  ok &= Check(std::all_of(tallies.begin(), tallies.end(),
                          [](const ClientTally& t) { return t.complete > 0; }),
              "every client was served at least once");
  return ok;
}

// Stops at random moments while one client exchanges in a loop and another connects and
// stays silent: the latency of Stop.
bool StopLatency(ControlPipeServer& server, int stops) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> pick_delay_ms(0, 50);
  std::vector<double> latencies_ms;
  for (int i = 0; i < stops; ++i) {
    server.Start();
    std::atomic<bool> done{false};
    std::thread busy([&done] {
      while (!done.load()) test_support::RoundTrip(kRequest, milliseconds(20));
    });
    std::thread silent([&done] {
      while (!done.load()) {
        ScopedFileHandle pipe = test_support::OpenWithin(milliseconds(20));
        if (pipe) test_support::ReadUntilEnd(pipe.get());
      }
    });
    std::this_thread::sleep_for(milliseconds(pick_delay_ms(random)));
    const auto start = Clock::now();
    server.Stop();
    latencies_ms.push_back(Seconds(Clock::now() - start) * 1000);
    done.store(true);
    busy.join();
    silent.join();
  }
  std::sort(latencies_ms.begin(), latencies_ms.end());
  const double median = latencies_ms[latencies_ms.size() / 2];
  const double p99 = latencies_ms[latencies_ms.size() * 99 / 100];
  const double worst = latencies_ms.back();
  std::printf("stop under load: %d stops, median %.1f ms, p99 %.1f ms, max %.1f ms\n", stops,
              median, p99, worst);
  return Check(worst < 1500, "every stop within about one second");
}

}  // namespace
}  // namespace brumo

int main(int argc, char** argv) {
  using namespace brumo;
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int contention_seconds = argc > 2 ? std::atoi(argv[2]) : 10;
  const int stops = argc > 3 ? std::atoi(argv[3]) : 200;
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  // Only "active" is sent: the controller and its guard are never asked to touch the
  // stand-ins.
  DnsLeakGuard guard;
  TunnelController controller(&guard);
  ControlPipeServer server(&controller);
  const long before_start = HandleCount();
  server.Start();
  // The first exchanges bring up what stays for the process's life (the thread pool's
  // workers, for one); the baseline is taken after them.
  bool ok = true;
  for (int i = 0; i < 20; ++i) ok &= StillServes();
  const long baseline = HandleCount();
  std::printf("handles: %ld before Start, %ld after warm-up\n", before_start, baseline);
  ok &= Check(ok, "warm-up exchanges served");

  ok &= ConnectAndDrop(cycles, baseline);
  ok &= FullExchanges(cycles, baseline);
  ok &= Contention(contention_seconds);
  server.Stop();
  ok &= StopLatency(server, stops);
  const long after_stop = HandleCount();
  std::printf("handles: %ld after the last Stop (%ld before the first Start)\n", after_stop,
              before_start);
  std::printf("%s\n", ok ? "all figures within bounds" : "SOME FIGURES OUT OF BOUNDS");
  return ok ? 0 : 1;
}
