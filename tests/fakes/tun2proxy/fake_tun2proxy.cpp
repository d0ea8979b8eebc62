// tun2proxy stand-in. Built twice from this one source: as a static library controlled
// through fake_tun2proxy.h (unit tests), and on Windows as "tun2proxy.dll" configured by
// environment variables and optionally writing a call log (BRUMO_FAKE_T2P_FROM_ENV; see
// README.md beside this file).
#include "tests/fakes/tun2proxy/fake_tun2proxy.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#if defined(BRUMO_FAKE_T2P_FROM_ENV)
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#endif

namespace brumo::fake_tun2proxy {
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
  // Bumped to wake the run calls inside at that moment.
  std::uint64_t wake_generation = 0;
  Tun2proxyLogCallback callback = nullptr;
  void* context = nullptr;
  std::vector<RunArgs> runs;
  std::vector<std::string> calls;
};

State& TheState() {
  static State state;
  return state;
}

#if defined(BRUMO_FAKE_T2P_FROM_ENV)

int IntFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return std::atoi(text);
}

// Read on every call, so a test program can switch modes between calls.
void ApplyEnvironment(State& state) {
  const char* mode = std::getenv("BRUMO_T2P_MODE");
  const std::string_view text = mode == nullptr ? std::string_view() : std::string_view(mode);
  constexpr std::string_view kDelayPrefix = "delay:";
  if (text == "return") {
    state.mode = RunMode::kReturn;
  } else if (text.substr(0, kDelayPrefix.size()) == kDelayPrefix) {
    state.mode = RunMode::kDelay;
    state.delay = std::chrono::milliseconds(std::atoi(mode + kDelayPrefix.size()));
  } else {
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
  std::filesystem::path path;
  if (variable != nullptr) {
    path = variable;
  } else {
    path = LogBesideModule();
  }
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

}  // namespace

void Reset() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.mode = RunMode::kBlock;
  state.delay = std::chrono::milliseconds(0);
  state.run_result = 0;
  state.stop_result = 0;
  state.stop_hook = nullptr;
  state.set_log_callback_calls = 0;
  state.run_calls = 0;
  state.stop_calls = 0;
  state.callback = nullptr;
  state.context = nullptr;
  state.runs.clear();
  state.calls.clear();
}

void SetRunMode(RunMode mode, std::chrono::milliseconds delay) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.mode = mode;
  state.delay = delay;
}

void SetRunResult(int result) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.run_result = result;
}

void SetStopResult(int result) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.stop_result = result;
}

void SetStopHook(std::function<void()> hook) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.stop_hook = std::move(hook);
}

void EndRunsByThemselves() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.runs_inside > 0) ++state.wake_generation;
  state.changed.notify_all();
}

int SetLogCallbackCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.set_log_callback_calls;
}

int RunCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.run_calls;
}

int StopCalls() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.stop_calls;
}

int RunsInside() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.runs_inside;
}

std::vector<RunArgs> RecordedRuns() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.runs;
}

std::vector<std::string> CallOrder() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.calls;
}

Tun2proxyLogCallback InstalledLogCallback() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.callback;
}

void* InstalledLogContext() {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.context;
}

bool WaitForRunsInside(int count, std::chrono::milliseconds timeout) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  return state.changed.wait_for(lock, timeout, [&] { return state.runs_inside == count; });
}

}  // namespace brumo::fake_tun2proxy

using brumo::fake_tun2proxy::AppendLog;
using brumo::fake_tun2proxy::ApplyEnvironment;
using brumo::fake_tun2proxy::PointerText;
using brumo::fake_tun2proxy::RunArgs;
using brumo::fake_tun2proxy::RunMode;
using brumo::fake_tun2proxy::State;
using brumo::fake_tun2proxy::TheState;

extern "C" {

int tun2proxy_with_name_run(const char* proxy_url, const char* tun, const char* bypass,
                            int dns_strategy, bool root_privilege, int verbosity) {
  State& state = TheState();
  std::unique_lock<std::mutex> lock(state.mutex);
  ApplyEnvironment(state);
  RunArgs args{proxy_url == nullptr ? "(null)" : proxy_url,
               tun == nullptr ? "(null)" : tun,
               bypass == nullptr ? "(null)" : bypass,
               dns_strategy,
               root_privilege,
               verbosity};
  AppendLog("run proxy_url=" + args.proxy_url + " tun=" + args.tun + " bypass=" + args.bypass +
            " dns_strategy=" + std::to_string(dns_strategy) + " root_privilege=" +
            (root_privilege ? "1" : "0") + " verbosity=" + std::to_string(verbosity));
  state.runs.push_back(std::move(args));
  state.calls.push_back("run");
  ++state.run_calls;
  ++state.runs_inside;
  state.changed.notify_all();

  const std::uint64_t generation = state.wake_generation;
  const auto woken = [&] { return state.wake_generation != generation; };
  switch (state.mode) {
    case RunMode::kBlock:
      state.changed.wait(lock, woken);
      break;
    case RunMode::kDelay:
      state.changed.wait_for(lock, state.delay, woken);
      break;
    case RunMode::kReturn:
      break;
  }
  --state.runs_inside;
  state.changed.notify_all();
  return state.run_result;
}

int tun2proxy_stop(void) {
  State& state = TheState();
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    ApplyEnvironment(state);
    AppendLog("stop");
    state.calls.push_back("stop");
    ++state.stop_calls;
    hook = state.stop_hook;
  }
  // Outside the lock: a hook may wait for other threads that call into this stand-in.
  if (hook) hook();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.runs_inside > 0) ++state.wake_generation;
  state.changed.notify_all();
  return state.stop_result;
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* ctx) {
  State& state = TheState();
  std::lock_guard<std::mutex> lock(state.mutex);
  ApplyEnvironment(state);
  AppendLog(std::string("set_log_callback callback=") + PointerText(callback == nullptr) +
            " ctx=" + PointerText(ctx == nullptr));
  state.calls.push_back("set_log_callback");
  ++state.set_log_callback_calls;
  state.callback = callback;
  state.context = ctx;
}

}  // extern "C"
