// Figures of the real service, installed as "BrumoVPN" in the SCM beside the stand-in
// tun2proxy.dll and fwpuclnt.dll (in "service\" beside this program), printed as one
// table at the end:
//   1. pipe exchange: "active" exchanges with the service against echo exchanges with a
//      bare pipe server (bare_pipe_server.exe) that serves the same way (one kept
//      instance), in alternating rounds of the same run, in batches with both servers
//      started afresh;
//   2. start latency: "start" sent to its reply, with the TUN device present, against the
//      500 ms launch check;
//   3. service stop: stop control to the stopped state, idle, with the tunnel running and
//      with a silent client connected;
//   4. idle footprint: threads, working set, private bytes and CPU time over a quiet spell;
//   5. soak: exchanges from two clients mixed with start/stop cycles from a third; every
//      reply valid, handles and private bytes back where they were, no filter left.
// Built and run by bench/run; runs on Windows as it is (as an administrator).
//
// Options (--name=value): exchanges (per server, 3000), batches (5), rounds (60, in all),
// idle-seconds (30), starts (10), stops (6, per kind), soak-exchanges (20000), soak-cycles (50),
// soak-limit-seconds (600). A count of 0 skips that part.
// Exit status 0 when every goal is met, 1 when one is missed or a check failed, 2 when the
// service could not be set up.
#include <windows.h>
#include <winsvc.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/service/bench_support.h"
#include "common/scoped_resource_win.h"
#include "tests/support/pipe_client.h"
#include "tests/support/test_support.h"

namespace brumo::bench {
namespace {

using Clock = std::chrono::steady_clock;

using namespace test_support;

// Goals.
constexpr double kExchangeRatioGoal = 1.25;
constexpr double kLaunchCheckMs = 500;
constexpr double kStartRatioGoal = 1.1;
// Stop: idle (median and max), with the tunnel running and with a silent client (max).
constexpr double kStopIdleMedianGoalMs = 50;
constexpr double kStopIdleMaxGoalMs = 150;
constexpr double kStopTunnelGoalMs = 300;
constexpr double kStopSilentClientGoalMs = 600;
constexpr double kIdleCpuGoalPercent = 1.0;
constexpr long kHandleSlack = 5;
constexpr std::int64_t kPrivateBytesSlack = 1 << 20;

// Bounds for correctness only.
constexpr DWORD kConnectMs = 30000;
constexpr DWORD kStateTimeoutMs = 20000;
// Quiet time before a reading that is compared with another: Wine ends idle thread-pool
// workers (which run the ticks of the service's flush timer) after five
// seconds.
constexpr DWORD kSettleMs = 6000;

struct Options {
  int exchanges = 3000;
  int batches = 5;
  int rounds = 60;
  int idle_seconds = 30;
  int starts = 10;
  int stops = 6;
  long soak_exchanges = 20000;
  int soak_cycles = 50;
  int soak_limit_seconds = 600;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  const std::map<std::string, long*> longs = {{"soak-exchanges", &options->soak_exchanges}};
  const std::map<std::string, int*> ints = {
      {"exchanges", &options->exchanges},     {"batches", &options->batches},
      {"rounds", &options->rounds},           {"idle-seconds", &options->idle_seconds},
      {"starts", &options->starts},           {"stops", &options->stops},
      {"soak-cycles", &options->soak_cycles}, {"soak-limit-seconds", &options->soak_limit_seconds}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const std::size_t equals = arg.find('=');
    if (arg.substr(0, 2) != "--" || equals == std::string_view::npos) return false;
    const std::string name(arg.substr(2, equals - 2));
    char* end = nullptr;
    const long value = std::strtol(argv[i] + equals + 1, &end, 10);
    if (*end != '\0' || value < 0) return false;
    if (const auto found = ints.find(name); found != ints.end()) {
      *found->second = static_cast<int>(value);
    } else if (const auto found_long = longs.find(name); found_long != longs.end()) {
      *found_long->second = value;
    } else {
      return false;
    }
  }
  options->rounds = std::max(options->rounds, 1);
  return true;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Spread {
  double mean = 0;
  double median = 0;
  double p99 = 0;
  double max = 0;
};

Spread SpreadOf(std::vector<double> values) {
  Spread spread;
  if (values.empty()) return spread;
  std::sort(values.begin(), values.end());
  double sum = 0;
  for (double v : values) sum += v;
  spread.mean = sum / static_cast<double>(values.size());
  spread.median = values[values.size() / 2];
  spread.p99 = values[(values.size() - 1) * 99 / 100];
  spread.max = values.back();
  return spread;
}

std::string Mib(std::int64_t bytes) {
  return bytes < 0 ? "n/a" : fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1 << 20));
}

std::string Quote(std::string_view text) { return fmt::format("'{}'", text); }

// The table, in Markdown, so that it can go into the README as printed.
class Table {
 public:
  enum class Verdict { kMet, kMissed, kFailed, kPassed, kInfo, kSkipped };

  void Add(std::string measure, std::string result, std::string goal, Verdict verdict) {
    rows_.push_back({std::move(measure), std::move(result), std::move(goal), verdict});
    if (verdict == Verdict::kMissed || verdict == Verdict::kFailed) ok_ = false;
  }
  static Verdict Goal(bool met) { return met ? Verdict::kMet : Verdict::kMissed; }
  static Verdict Check(bool passed) { return passed ? Verdict::kPassed : Verdict::kFailed; }

  void Print() const {
    std::printf("\n| Measure | Result | Goal | |\n|---|---|---|---|\n");
    for (const Row& row : rows_) {
      std::printf("| %s | %s | %s | %s |\n", row.measure.c_str(), row.result.c_str(),
                  row.goal.c_str(), Name(row.verdict));
    }
    std::printf("\n%s\n", ok_ ? "Every goal met and every check passed."
                              : "SOME GOALS MISSED OR CHECKS FAILED (see the table).");
  }
  bool ok() const { return ok_; }

 private:
  struct Row {
    std::string measure;
    std::string result;
    std::string goal;
    Verdict verdict;
  };
  static const char* Name(Verdict verdict) {
    switch (verdict) {
      case Verdict::kMet:
        return "met";
      case Verdict::kMissed:
        return "**missed**";
      case Verdict::kFailed:
        return "**FAILED**";
      case Verdict::kPassed:
        return "passed";
      case Verdict::kSkipped:
        return "skipped";
      case Verdict::kInfo:
        break;
    }
    return "";
  }

  std::vector<Row> rows_;
  bool ok_ = true;
};

void Progress(const std::string& text) { std::printf("- %s\n", text.c_str()); }

// The service under test and the bare servers beside it.
class Bench {
 public:
  explicit Bench(const Options& options) : options_(options) {}

  // Installs and starts the service and starts the bare server; false with a reason
  // printed when that fails.
  bool SetUp();
  void TearDown();

  void PipeExchange();
  void IdleFootprint();
  void StartLatency();
  void Soak();
  void ServiceStop();
  void FinalChecks();

  const Table& table() const { return table_; }

 private:
  // The bare_pipe_server.exe started by SetUp.
  struct Helper {
    ScopedHandle process;
    DWORD pid = 0;
  };
  // Starts bare_exe_ as bare_ and waits until it echoes; false with a reason printed.
  bool StartBareServer();
  void StopBareServer();

  bool ServiceRunning();
  bool StartService();
  bool StopServiceTimed(double* ms);
  bool RestartServers();
  DWORD service_pid() const;
  std::string DeviceMissing() const;
  ProcessReading SettledReading();

  const Options& options_;
  Table table_;
  ServiceEntry service_;
  std::wstring service_dir_;
  std::wstring fwp_log_;
  std::wstring bare_exe_;
  Helper bare_;
  bool device_ = false;
};

DWORD Bench::service_pid() const {
  StatusSample sample;
  service_.Query(&sample);
  return sample.process_id;
}

std::string Bench::DeviceMissing() const {
  char note[512];
  const DWORD length = ::GetEnvironmentVariableA("BRUMO_BENCH_DEVICE_NOTE", note, sizeof(note));
  const std::string why = length > 0 && length < sizeof(note) ? note : "not created";
  return "skipped: no TUN device brumotun (" + why + ")";
}

bool Bench::SetUp() {
  const std::wstring own = OwnDirectory();
  service_dir_ = own + L"service\\";
  fwp_log_ = service_dir_ + L"fwpuclnt.log";
  const std::wstring exe = service_dir_ + L"BrumoVPN.exe";
  bare_exe_ = own + L"bare_pipe_server.exe";
  for (const std::wstring& file :
       {exe, service_dir_ + L"tun2proxy.dll", service_dir_ + L"fwpuclnt.dll", bare_exe_}) {
    if (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
      std::printf("missing: %s\n", Narrow(file).c_str());
      return false;
    }
  }
  ::DeleteFileW(fwp_log_.c_str());
  device_ = TunDevicePresent();
  Progress(device_ ? "TUN device brumotun present" : DeviceMissing());

  DWORD error = service_.Connect();
  if (error == 0) error = service_.RemoveExisting();
  if (error == 0) error = service_.Install(exe);
  if (error != 0) {
    std::printf("cannot install the service: error %lu\n", error);
    return false;
  }
  if (!StartService()) return false;

  if (!StartBareServer()) return false;
  Progress(fmt::format("service running (pid {}), bare server running (pid {})", service_pid(),
                       bare_.pid));
  return true;
}

bool Bench::StartBareServer() {
  std::wstring command = L"\"" + bare_exe_ + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(bare_exe_.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
    std::printf("cannot start %s: error %lu\n", Narrow(command).c_str(), ::GetLastError());
    return false;
  }
  bare_.process.reset(process.hProcess);
  const ScopedHandle thread(process.hThread);
  bare_.pid = process.dwProcessId;
  const Exchange echo = RunExchange(kBarePipe, kActiveRequest, kConnectMs);
  if (echo.reply != kActiveRequest) {
    std::printf("%s does not echo (error %lu, reply %s)\n", Narrow(command).c_str(), echo.error,
                Quote(echo.reply).c_str());
    return false;
  }
  return true;
}

void Bench::StopBareServer() {
  if (!bare_.process) return;
  ::TerminateProcess(bare_.process.get(), 0);
  ::WaitForSingleObject(bare_.process.get(), 5000);
  bare_ = Helper();
}

void Bench::TearDown() {
  StopBareServer();
  service_.RemoveExisting();
}

bool Bench::ServiceRunning() {
  StatusSample sample;
  return service_.Query(&sample) == 0 && sample.state == SERVICE_RUNNING;
}

// Starts the service and waits until it reports running and serves its pipe.
bool Bench::StartService() {
  const DWORD error = service_.Start();
  if (error != 0 && error != ERROR_SERVICE_ALREADY_RUNNING) {
    std::printf("cannot start the service: error %lu\n", error);
    return false;
  }
  if (!service_.WaitForState(SERVICE_RUNNING, kStateTimeoutMs)) {
    std::printf("the service did not report running\n");
    return false;
  }
  const Exchange active = RunExchange(kServicePipe, kActiveRequest, kConnectMs);
  if (active.reply != kInactiveReply) {
    std::printf("the service's first reply: %s (error %lu)\n", Quote(active.reply).c_str(),
                active.error);
    return false;
  }
  return true;
}

// Sends the stop control and times it until the SCM reports the service stopped.
bool Bench::StopServiceTimed(double* ms) {
  const Clock::time_point start = Clock::now();
  if (service_.Stop() != 0) return false;
  const bool stopped = service_.WaitForState(SERVICE_STOPPED, kStateTimeoutMs);
  *ms = Ms(Clock::now() - start);
  return stopped;
}

ProcessReading Bench::SettledReading() {
  ::Sleep(kSettleMs);
  return ReadProcess(service_pid());
}

// Stops and starts the service and the bare server again, so that the next batch of
// exchanges runs in processes freshly placed on the machine.
bool Bench::RestartServers() {
  double ms = 0;
  if (!StopServiceTimed(&ms) || !StartService()) return false;
  StopBareServer();
  return StartBareServer();
}

void Bench::PipeExchange() {
  if (options_.exchanges == 0) return;
  const int batches = std::max(options_.batches, 1);
  const int rounds = std::max(options_.rounds / batches, 1);
  const int per_round = std::max(options_.exchanges / (batches * rounds), 1);
  Progress(fmt::format("pipe exchange: {} batches of {} alternating rounds of {} per server",
                       batches, rounds, per_round));
  struct Side {
    const wchar_t* pipe;
    std::string_view expected;
    std::vector<double> ms;
    long wrong = 0;
    long retries = 0;
  };
  Side service{kServicePipe, kInactiveReply, {}, 0, 0};
  Side bare{kBarePipe, kActiveRequest, {}, 0, 0};
  const auto run = [](Side& side, int count, bool record) {
    for (int i = 0; i < count; ++i) {
      const Clock::time_point start = Clock::now();
      const Exchange exchange = RunExchange(side.pipe, kActiveRequest, kConnectMs);
      const double ms = Ms(Clock::now() - start);
      if (!record) continue;
      side.ms.push_back(ms);
      side.retries += exchange.open_retries;
      if (exchange.error != 0 || exchange.reply != side.expected) ++side.wrong;
    }
  };
  // Judged on medians: other work on a shared machine lengthens single exchanges of every
  // side by whole scheduler slices, which the means take in and the medians do not. And
  // on the median of several batches' ratios, each with both servers freshly started, so
  // that one start that happens to be placed badly does not decide (bench/run also pins
  // the whole run to one processor, which matters more).
  std::vector<double> batch_ratios;
  Side* const sides[] = {&service, &bare};
  for (int batch = 0; batch < batches; ++batch) {
    if (batch > 0 && !RestartServers()) {
      Progress("could not restart the servers between batches");
      break;
    }
    const std::size_t service_from = service.ms.size();
    const std::size_t bare_from = bare.ms.size();
    for (Side* side : sides) run(*side, 100, false);
    // The rounds alternate which side goes first.
    for (int round = 0; round < rounds; ++round) {
      for (int i = 0; i < 2; ++i) run(*sides[(round + i) % 2], per_round, true);
    }
    const auto median_from = [](const Side& side, std::size_t from) {
      return SpreadOf(std::vector<double>(side.ms.begin() + static_cast<std::ptrdiff_t>(from),
                                          side.ms.end()))
          .median;
    };
    batch_ratios.push_back(median_from(service, service_from) / median_from(bare, bare_from));
  }
  const Spread s = SpreadOf(service.ms);
  const Spread b = SpreadOf(bare.ms);
  const Spread ratios = SpreadOf(batch_ratios);
  for (const auto& [name, side, spread] :
       {std::tuple{"service", &service, s}, std::tuple{"bare", &bare, b}}) {
    Progress(fmt::format("{}: mean {:.3f} median {:.3f} p99 {:.3f} max {:.1f} ms, {} open retries",
                         name, spread.mean, spread.median, spread.p99, spread.max, side->retries));
  }
  std::string each;
  for (double ratio : batch_ratios)
    each += fmt::format("{}{:.2f}", each.empty() ? "" : ", ", ratio);
  table_.Add(
      fmt::format("Pipe exchange, {} \"active\" vs {} bare echo (one kept instance)",
                  service.ms.size(), bare.ms.size()),
      fmt::format("median of {} batches' ratios **{:.2f}×** ({}); all together: medians "
                  "{:.3f} vs {:.3f} ms, means {:.3f} vs {:.3f} ms",
                  batch_ratios.size(), ratios.median, each, s.median, b.median, s.mean, b.mean),
      "≤ 1.25×", Table::Goal(!batch_ratios.empty() && ratios.median <= kExchangeRatioGoal));
  table_.Add("Pipe exchange replies",
             fmt::format("{} of {} exact", service.ms.size() - service.wrong, service.ms.size()),
             "all", Table::Check(service.wrong == 0 && bare.wrong == 0));
}

void Bench::IdleFootprint() {
  if (options_.idle_seconds == 0) return;
  Progress(fmt::format("idle footprint: {} s without requests", options_.idle_seconds));
  const ProcessReading before = ReadProcess(service_pid());
  const ProcessReading bare_before = ReadProcess(bare_.pid);
  ::Sleep(static_cast<DWORD>(options_.idle_seconds) * 1000);
  const ProcessReading after = ReadProcess(service_pid());
  const ProcessReading bare_after = ReadProcess(bare_.pid);
  const std::string starts = ThreadStartModules(service_pid());
  const double cpu = after.cpu_seconds - before.cpu_seconds;
  const double bare_cpu = bare_after.cpu_seconds - bare_before.cpu_seconds;
  const double percent = cpu / options_.idle_seconds * 100;
  table_.Add("Idle: threads",
             fmt::format("{} (started in {}; bare server: {})", after.threads,
                         starts.empty() ? "?" : starts, bare_after.threads),
             "", Table::Verdict::kInfo);
  table_.Add("Idle: working set / private bytes",
             fmt::format("{} / {} (bare server: {} / {})", Mib(after.working_set),
                         Mib(after.private_bytes), Mib(bare_after.working_set),
                         Mib(bare_after.private_bytes)),
             "", Table::Verdict::kInfo);
  table_.Add(
      fmt::format("Idle: CPU over {} s", options_.idle_seconds),
      fmt::format("{:.2f} s = {:.2f} % of a core (bare server: {:.2f} s)", cpu, percent, bare_cpu),
      "no busy loop (< 1 %)", Table::Goal(cpu >= 0 && percent < kIdleCpuGoalPercent));
}

void Bench::StartLatency() {
  if (options_.starts == 0) return;
  if (!device_) {
    table_.Add("Start latency", DeviceMissing(), "≤ 1.1 × 500 ms", Table::Verdict::kSkipped);
    return;
  }
  Progress(fmt::format("start latency: {} start/stop cycles", options_.starts));
  std::vector<double> starts;
  std::vector<double> stops;
  long wrong = 0;
  long running_threads = -1;
  std::string running_starts;
  for (int i = 0; i < options_.starts; ++i) {
    Clock::time_point begin = Clock::now();
    const Exchange start = RunExchange(kServicePipe, kStartRequest, kConnectMs);
    starts.push_back(Ms(Clock::now() - begin));
    if (start.reply != kStartedReply) {
      ++wrong;
      Progress("start answered " + Quote(start.reply));
    }
    if (i == 0) {
      running_threads = ReadProcess(service_pid()).threads;
      running_starts = ThreadStartModules(service_pid());
    }
    begin = Clock::now();
    const Exchange stop = RunExchange(kServicePipe, kStopRequest, kConnectMs);
    stops.push_back(Ms(Clock::now() - begin));
    if (stop.reply != kStoppedReply) {
      ++wrong;
      Progress("stop answered " + Quote(stop.reply));
    }
  }
  const Spread s = SpreadOf(starts);
  const Spread t = SpreadOf(stops);
  const double ratio = s.median / kLaunchCheckMs;
  table_.Add(fmt::format("Start latency, {} \"start\" requests", starts.size()),
             fmt::format("median {:.0f} ms, max {:.0f} ms: **{:.2f}×** the 500 ms floor", s.median,
                         s.max, ratio),
             "≤ 1.1×", Table::Goal(wrong == 0 && ratio <= kStartRatioGoal));
  table_.Add("\"stop\" request with the tunnel up",
             fmt::format("median {:.0f} ms, max {:.0f} ms", t.median, t.max), "",
             Table::Verdict::kInfo);
  table_.Add("Threads with the tunnel up",
             fmt::format("{} (started in {})", running_threads,
                         running_starts.empty() ? "?" : running_starts),
             "", Table::Verdict::kInfo);
}

void Bench::Soak() {
  if (options_.soak_exchanges == 0 && options_.soak_cycles == 0) return;
  const int cycles = device_ ? options_.soak_cycles : 0;
  Progress(fmt::format("soak: {} exchanges from 2 clients, {} start/stop cycles from a third{}",
                       options_.soak_exchanges, cycles,
                       device_ ? "" : " (no TUN device: no cycles)"));
  // What the first exchanges and the first start bring up stays for the process's life
  // (the thread pool's workers, the libraries the tunnel loads): the baseline comes after.
  for (int i = 0; i < 20; ++i) RunExchange(kServicePipe, kActiveRequest, kConnectMs);
  if (cycles > 0) {
    RunExchange(kServicePipe, kStartRequest, kConnectMs);
    RunExchange(kServicePipe, kStopRequest, kConnectMs);
  }
  const ProcessReading before = SettledReading();
  const DWORD pid_before = service_pid();

  const long total = options_.soak_exchanges;
  std::atomic<long> next{0};
  std::atomic<long> done{0};
  std::atomic<long> valid{0};
  std::atomic<long> saw_running{0};
  std::atomic<bool> give_up{false};
  std::mutex failures_mutex;
  std::vector<std::string> failures;
  const auto fail = [&](std::string what) {
    const std::lock_guard<std::mutex> lock(failures_mutex);
    if (failures.size() < 5) failures.push_back(std::move(what));
  };
  const auto asker = [&] {
    while (!give_up.load() && next.fetch_add(1) < total) {
      const Exchange exchange = RunExchange(kServicePipe, kActiveRequest, kConnectMs);
      if (exchange.error == 0 && exchange.reply == kInactiveReply) {
        ++valid;
      } else if (exchange.error == 0 && exchange.reply == kActiveReply) {
        ++valid;
        ++saw_running;
      } else {
        fail(fmt::format("active: error {}, reply {}", exchange.error, Quote(exchange.reply)));
      }
      ++done;
    }
  };
  std::atomic<long> cycles_ok{0};
  const auto cycler = [&] {
    for (int c = 0; c < cycles && !give_up.load(); ++c) {
      // Spread over the exchanges: cycle c starts the tunnel once c/cycles of them are
      // done and stops it half a cycle's share of exchanges later, so that about half of
      // them meet a running tunnel.
      const auto wait_for = [&](long exchanges) {
        while (!give_up.load() && done.load() < exchanges) ::Sleep(2);
      };
      wait_for(total * c / cycles);
      const Exchange start = RunExchange(kServicePipe, kStartRequest, kConnectMs);
      wait_for(total * c / cycles + total / cycles / 2);
      const Exchange stop = RunExchange(kServicePipe, kStopRequest, kConnectMs);
      if (start.reply == kStartedReply && stop.reply == kStoppedReply) {
        ++cycles_ok;
      } else {
        fail(fmt::format("cycle {}: start {}, stop {}", c, Quote(start.reply), Quote(stop.reply)));
      }
    }
  };
  const Clock::time_point begin = Clock::now();
  std::thread watchdog([&] {
    while (!give_up.load() && (done.load() < total || cycles_ok < cycles)) {
      if (Clock::now() - begin > std::chrono::seconds(options_.soak_limit_seconds)) {
        give_up.store(true);
      }
      ::Sleep(100);
    }
  });
  {
    std::vector<std::thread> clients;
    clients.emplace_back(asker);
    clients.emplace_back(asker);
    clients.emplace_back(cycler);
    for (std::thread& client : clients) client.join();
  }
  give_up.store(true);
  watchdog.join();
  const double took = std::chrono::duration<double>(Clock::now() - begin).count();
  const ProcessReading after = SettledReading();
  const bool same_process = service_pid() == pid_before;
  for (const std::string& failure : failures) Progress("soak failure: " + failure);
  if (done.load() < total || cycles_ok.load() < cycles) {
    Progress(
        fmt::format("soak ended unfinished after the {} s limit", options_.soak_limit_seconds));
  }
  Progress(
      fmt::format("soak took {:.0f} s; {} of the replies said running", took, saw_running.load()));

  table_.Add(fmt::format("Soak ({:.0f} s): exchanges", took),
             fmt::format("{} of {} valid replies ({} while running)", valid.load(), total,
                         saw_running.load()),
             "all", Table::Check(valid.load() == total && same_process));
  if (device_) {
    table_.Add("Soak: start/stop cycles", fmt::format("{} of {} ok", cycles_ok.load(), cycles),
               "all", Table::Check(cycles_ok.load() == cycles));
  } else if (options_.soak_cycles > 0) {
    table_.Add("Soak: start/stop cycles", DeviceMissing(), "", Table::Verdict::kSkipped);
  }
  const long handle_change = after.handles - before.handles;
  table_.Add("Soak: service handles",
             fmt::format("{} → {} ({:+})", before.handles, after.handles, handle_change), "±5",
             Table::Check(before.handles > 0 && std::labs(handle_change) <= kHandleSlack));
  const std::int64_t growth = after.private_bytes - before.private_bytes;
  table_.Add("Soak: service private bytes",
             fmt::format("{} → {} ({:+.0f} KiB)", Mib(before.private_bytes),
                         Mib(after.private_bytes), static_cast<double>(growth) / 1024),
             "≤ +1 MiB", Table::Check(before.private_bytes > 0 && growth <= kPrivateBytesSlack));
  const nlohmann::json left = ReadEngineLeft(fwp_log_);
  table_.Add("Soak: engine objects left after the last stop", left.dump(), "0",
             Table::Check(NothingLeft(left) && (cycles == 0 || left["added"] > 0)));
}

void Bench::ServiceStop() {
  if (options_.stops == 0) return;
  Progress(fmt::format("service stop: {} idle, {} with the tunnel running, {} with a silent client",
                       options_.stops, device_ ? options_.stops : 0, options_.stops));
  // The stop controls are spread over a second after the service reports running.
  const auto delay_ms = [this](int i) {
    return static_cast<DWORD>(200 + 1000 * i / options_.stops);
  };
  enum class Kind { kIdle, kTunnel, kSilentClient };
  for (const Kind kind : {Kind::kIdle, Kind::kTunnel, Kind::kSilentClient}) {
    const char* const name = kind == Kind::kIdle     ? "idle"
                             : kind == Kind::kTunnel ? "tunnel running"
                                                     : "a silent client connected";
    const std::string goal =
        kind == Kind::kIdle
            ? fmt::format("median ≤ {:.0f} ms, max ≤ {:.0f} ms", kStopIdleMedianGoalMs,
                          kStopIdleMaxGoalMs)
            : fmt::format("max ≤ {:.0f} ms",
                          kind == Kind::kTunnel ? kStopTunnelGoalMs : kStopSilentClientGoalMs);
    if (kind == Kind::kTunnel && !device_) {
      table_.Add("Service stop, tunnel running", DeviceMissing(), goal, Table::Verdict::kSkipped);
      continue;
    }
    std::vector<double> ms;
    long failed = 0;
    for (int i = 0; i < options_.stops; ++i) {
      if (!ServiceRunning() && !StartService()) {
        ++failed;
        break;
      }
      if (kind == Kind::kTunnel) {
        const Exchange start = RunExchange(kServicePipe, kStartRequest, kConnectMs);
        if (start.reply != kStartedReply) {
          Progress("start answered " + Quote(start.reply));
          ++failed;
        }
      }
      // Connected and never writing: the service's pipe thread is waiting for its request
      // when the stop comes, and drops it at once.
      ScopedFileHandle silent;
      if (kind == Kind::kSilentClient) {
        silent =
            test_support::OpenWithin(std::chrono::milliseconds(kConnectMs), nullptr, kServicePipe);
        if (!silent) ++failed;
      }
      ::Sleep(delay_ms(i));
      double took = 0;
      if (!StopServiceTimed(&took)) ++failed;
      ms.push_back(took);
    }
    const Spread s = SpreadOf(ms);
    const bool met = kind == Kind::kIdle
                         ? s.median <= kStopIdleMedianGoalMs && s.max <= kStopIdleMaxGoalMs
                     : kind == Kind::kTunnel ? s.max <= kStopTunnelGoalMs
                                             : s.max <= kStopSilentClientGoalMs;
    table_.Add(fmt::format("Service stop, {} ({} stops)", name, ms.size()),
               fmt::format("median {:.0f} ms, max {:.0f} ms", s.median, s.max), goal,
               failed != 0 ? Table::Verdict::kFailed : Table::Goal(met));
  }
}

void Bench::FinalChecks() {
  const nlohmann::json left = ReadEngineLeft(fwp_log_);
  table_.Add("Whole run: engine objects left after the last stop", left.dump(), "0",
             Table::Check(NothingLeft(left)));
}

}  // namespace
}  // namespace brumo::bench

int main(int argc, char** argv) {
  using namespace brumo::bench;
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  // The table holds UTF-8 (×, ≤, ±, →).
  ::SetConsoleOutputCP(CP_UTF8);
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: service_bench [--exchanges=N] [--rounds=N] [--idle-seconds=N] "
                 "[--starts=N] [--stops=N] [--soak-exchanges=N] [--soak-cycles=N] "
                 "[--soak-limit-seconds=N]\n");
    return 2;
  }
  Bench bench(options);
  if (!bench.SetUp()) {
    bench.TearDown();
    return 2;
  }
  bench.PipeExchange();
  bench.IdleFootprint();
  bench.StartLatency();
  bench.Soak();
  bench.ServiceStop();
  bench.FinalChecks();
  bench.TearDown();
  bench.table().Print();
  return bench.table().ok() ? 0 : 1;
}
