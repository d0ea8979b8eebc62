// tun2proxy stand-in. Built twice from this one source: as an object library controlled
// through tun2proxy_standin.h (unit tests), and on Windows as "tun2proxy.dll" configured by
// environment variables and optionally writing a call log (BRUMO_T2P_FROM_ENV; see
// README.md beside this file).
#include "tests/standins/tun2proxy/tun2proxy_standin.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#if defined(BRUMO_T2P_FROM_ENV)
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#endif

namespace brumo::tun2proxy_standin {
namespace {

struct State {
  std::mutex mutex;
  std::condition_variable changed;
  RunMode mode = RunMode::kBlock;
  std::chrono::milliseconds delay{0};
  int run_result = 0;
  int stop_result = 0;
  std::function<void()> stop_hook;
  int set_log_callback_calls = 0;
  int run_calls = 0;
  int stop_calls = 0;
  int runs_inside = 0;
  // Bumped by every stop and by every EndRunsByThemselves; a run call compares them with
  // what they were when it registered (stops) or entered (ends).
  std::uint64_t stops = 0;
  std::uint64_t ends = 0;
  Tun2proxyLogCallback callback = nullptr;
  void* context = nullptr;
  std::vector<RunArgs> runs;
  std::vector<std::string> calls;
};

State& TheState() {
  static State state;
  return state;
}

#if defined(BRUMO_T2P_FROM_ENV)

int IntFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::atoi(text);
}

// Read on every call, so a test program can switch modes between calls.
void ApplyEnvironment(State& state) {
  const char* mode = std::getenv("BRUMO_T2P_MODE");
  const std::string_view text = mode == nullptr ? std::string_view() : std::string_view(mode);
  const auto with_delay = [&](std::string_view prefix, RunMode timed) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    state.mode = timed;
    state.delay = std::chrono::milliseconds(std::atoi(mode + prefix.size()));
    return true;
  };
  if (text == "return") {
    state.mode = RunMode::kReturn;
  } else if (!with_delay("delay:", RunMode::kDelay) &&
             !with_delay("late:", RunMode::kRegistersLate)) {
    state.mode = RunMode::kBlock;
  }
  state.run_result = IntFromEnvironment("BRUMO_T2P_RUN_RESULT", 0);
  state.stop_result = IntFromEnvironment("BRUMO_T2P_STOP_RESULT", 0);
}

// Any object of this module; its address names the module to GetModuleHandleExW.
const char kModuleAnchor = 0;

// "tun2proxy.log" beside this DLL when that file exists, else empty. A service gets the
// service manager's environment, not its tester's: such a tester asks for the log by
// creating the file.
std::filesystem::path LogBesideModule() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&kModuleAnchor), &self)) {
    return {};
  }
  wchar_t buffer[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameW(self, buffer, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  const std::filesystem::path log =
      std::filesystem::path(std::wstring(buffer, length)).parent_path() / L"tun2proxy.log";
  if (GetFileAttributesW(log.c_str()) == INVALID_FILE_ATTRIBUTES) return {};
  return log;
}

// Appends one line per call; the file is opened and closed each time, so another process
// can read it while a run call blocks. Called with the state's mutex held.
void AppendLog(const std::string& line) {
  const char* variable = std::getenv("BRUMO_T2P_LOG");
  const std::filesystem::path path = variable != nullptr ? variable : LogBesideModule();
  if (path.empty()) return;
  std::ofstream out(path, std::ios::app | std::ios::binary);
  out << line << '\n';
}

const char* PointerText(bool is_null) { return is_null ? "null" : "set"; }

#else

void ApplyEnvironment(State&) {}
void AppendLog(const std::string&) {}
const char* PointerText(bool) { return ""; }

#endif

// Runs `access` on the state under its lock and returns what it returns.
template <typename Access>
auto Locked(Access access) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return access(state);
}

}  // namespace

void Reset() {
  Locked([](State& s) {
    s.mode = RunMode::kBlock;
    s.delay = std::chrono::milliseconds(0);
    s.run_result = 0;
    s.stop_result = 0;
    s.stop_hook = nullptr;
    s.set_log_callback_calls = s.run_calls = s.stop_calls = 0;
    s.callback = nullptr;
    s.context = nullptr;
    s.runs.clear();
    s.calls.clear();
  });
}

void SetRunMode(RunMode mode, std::chrono::milliseconds delay) {
  Locked([&](State& s) {
    s.mode = mode;
    s.delay = delay;
  });
}
void SetRunResult(int result) {
  Locked([&](State& s) { s.run_result = result; });
}
void SetStopResult(int result) {
  Locked([&](State& s) { s.stop_result = result; });
}
void SetStopHook(std::function<void()> hook) {
  Locked([&](State& s) { s.stop_hook = std::move(hook); });
}

void EndRunsByThemselves() {
  Locked([](State& s) {
    ++s.ends;
    s.changed.notify_all();
  });
}

int SetLogCallbackCalls() {
  return Locked([](State& s) { return s.set_log_callback_calls; });
}
int RunCalls() {
  return Locked([](State& s) { return s.run_calls; });
}
int StopCalls() {
  return Locked([](State& s) { return s.stop_calls; });
}
int RunsInside() {
  return Locked([](State& s) { return s.runs_inside; });
}
std::vector<RunArgs> RecordedRuns() {
  return Locked([](State& s) { return s.runs; });
}
std::vector<std::string> CallOrder() {
  return Locked([](State& s) { return s.calls; });
}
Tun2proxyLogCallback InstalledLogCallback() {
  return Locked([](State& s) { return s.callback; });
}
void* InstalledLogContext() {
  return Locked([](State& s) { return s.context; });
}

bool WaitForRunsInside(int count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, timeout, [&] { return state.runs_inside == count; });
}

bool WaitForRunCalls(int count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, timeout, [&] { return state.run_calls >= count; });
}

}  // namespace brumo::tun2proxy_standin

namespace standin = brumo::tun2proxy_standin;

extern "C" {

int tun2proxy_with_name_run(const char* proxy_url, const char* tun, const char* bypass,
                            int dns_strategy, bool root_privilege, int verbosity) {
  standin::State& state = standin::TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  standin::ApplyEnvironment(state);
  standin::RunArgs args{proxy_url == nullptr ? "(null)" : proxy_url,
                        tun == nullptr ? "(null)" : tun,
                        bypass == nullptr ? "(null)" : bypass,
                        dns_strategy,
                        root_privilege,
                        verbosity};
  standin::AppendLog("run proxy_url=" + args.proxy_url + " tun=" + args.tun +
                     " bypass=" + args.bypass + " dns_strategy=" + std::to_string(dns_strategy) +
                     " root_privilege=" + (root_privilege ? "1" : "0") +
                     " verbosity=" + std::to_string(verbosity));
  state.runs.push_back(std::move(args));
  state.calls.push_back("run");
  ++state.run_calls;
  ++state.runs_inside;
  state.changed.notify_all();

  const std::uint64_t ends = state.ends;
  const auto ended = [&] { return state.ends != ends; };
  std::uint64_t stops = state.stops;
  const auto woken = [&] { return ended() || state.stops != stops; };
  switch (state.mode) {
    case standin::RunMode::kBlock:
      state.changed.wait(lock, woken);
      break;
    case standin::RunMode::kDelay:
      state.changed.wait_for(lock, state.delay, woken);
      break;
    case standin::RunMode::kRegistersLate:
      // Stops made before the registration are not seen.
      if (state.changed.wait_for(lock, state.delay, ended)) break;
      stops = state.stops;
      state.changed.wait(lock, woken);
      break;
    case standin::RunMode::kReturn:
      break;
  }
  --state.runs_inside;
  state.changed.notify_all();
  return state.run_result;
}

int tun2proxy_stop(void) {
  standin::State& state = standin::TheState();
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    standin::ApplyEnvironment(state);
    standin::AppendLog("stop");
    state.calls.push_back("stop");
    ++state.stop_calls;
    hook = state.stop_hook;
  }
  // Outside the lock: a hook may wait for other threads that call into this stand-in.
  if (hook) hook();
  std::lock_guard<std::mutex> lock(state.mutex);
  ++state.stops;
  state.changed.notify_all();
  return state.stop_result;
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* ctx) {
  standin::State& state = standin::TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  standin::ApplyEnvironment(state);
  standin::AppendLog(std::string("set_log_callback callback=") +
                     standin::PointerText(callback == nullptr) +
                     " ctx=" + standin::PointerText(ctx == nullptr));
  state.calls.push_back("set_log_callback");
  ++state.set_log_callback_calls;
  state.callback = callback;
  state.context = ctx;
}

}  // extern "C"
