// tun2proxy stand-in. Built twice from this one source: as an object library controlled
// through tun2proxy_standin.h (unit tests), and on Windows as "tun2proxy.dll" configured by
// environment variables and optionally writing a call log (BRUMO_T2P_FROM_ENV; see
// README.md beside this file).
#include "tests/standins/tun2proxy/tun2proxy_standin.h"

#include <memory>
#include <optional>
#include <utility>

#include "tests/standins/guarded.h"

#if defined(BRUMO_T2P_FROM_ENV)
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL
#endif

namespace brumo::tun2proxy_standin {
namespace {

// The library's results.
constexpr int kStopped = 0;         // run: ended by a stop; stop: cancelled a registered run
constexpr int kNotRegistered = -1;  // run: another one is registered; stop: none is
constexpr int kNoRuntime = -3;      // run: its runtime could not be built
constexpr int kTunnelFailed = -4;   // run: no device, or the tunnel ended by itself

struct State {
  RunMode mode = RunMode::kBlock;
  std::chrono::milliseconds delay{0};
  std::optional<int> run_result;
  std::optional<int> stop_result;
  std::function<void()> stop_hook;
  DeviceModel device;
  // The quit token of the run call registered with the library, if any: a stop sets it and
  // takes it away, and a run call that ends takes away whatever is registered, as the
  // library does (a kFailsRegistered run leaves its own).
  std::shared_ptr<bool> registered;
  // Bumped by every EndRunsByThemselves; a run call compares it with what it was when the
  // call entered.
  std::uint64_t ends = 0;
  Record record;
};

auto& The() { return standins::TheState<State>(); }

#if defined(BRUMO_T2P_FROM_ENV)

// The process's variable (as _putenv or SetEnvironmentVariable left it, whichever C runtime
// the caller has), or nullopt when it is not set.
std::optional<std::string> Environment(const char* name) {
  char value[1024];
  SetLastError(ERROR_SUCCESS);
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  if (length >= sizeof value || (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND)) {
    return std::nullopt;
  }
  return std::string(value, length);
}

// The file `name` beside this DLL when it exists, else empty. A service gets the service
// manager's environment, not its tester's: such a tester asks for the log by creating
// "tun2proxy.log", and sets the mode in "tun2proxy.mode".
std::filesystem::path FileBesideModule(const wchar_t* name) {
  wchar_t buffer[MAX_PATH * 2];
  const DWORD length =
      GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), buffer, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  const auto file = std::filesystem::path(std::wstring(buffer, length)).parent_path() / name;
  std::error_code error;
  return std::filesystem::exists(file, error) ? file : std::filesystem::path();
}

// Read on every call, so a test program can switch modes between calls. Without the
// variable, the first line of "tun2proxy.mode" beside this DLL (none: an empty mode).
void ApplyEnvironment(State& state) {
  std::string mode;
  if (const std::optional<std::string> variable = Environment("BRUMO_T2P_MODE")) {
    mode = *variable;
  } else {
    std::getline(std::ifstream(FileBesideModule(L"tun2proxy.mode")), mode);
  }
  const std::string_view text = mode;
  state.mode = text == "return" ? RunMode::kReturn : RunMode::kBlock;
  if (text == "ignore-stops") state.mode = RunMode::kIgnoresStops;
  if (text.starts_with("delay:") || text.starts_with("late:")) {
    state.mode = text[0] == 'd' ? RunMode::kDelay : RunMode::kRegistersLate;
    state.delay = std::chrono::milliseconds(std::atoi(mode.c_str() + text.find(':') + 1));
  }
  const auto number = [](const char* name) -> std::optional<int> {
    const std::optional<std::string> value = Environment(name);
    return value ? std::optional(std::atoi(value->c_str())) : std::nullopt;
  };
  state.run_result = number("BRUMO_T2P_RUN_RESULT");
  state.stop_result = number("BRUMO_T2P_STOP_RESULT");
}

// Appends one line per call; the file is opened and closed each time, so another process
// can read it while a run call blocks. Called with the state's mutex held.
void AppendLog(const std::string& line) {
  const std::optional<std::string> variable = Environment("BRUMO_T2P_LOG");
  const std::filesystem::path path = variable ? *variable : FileBesideModule(L"tun2proxy.log");
  if (!path.empty()) std::ofstream(path, std::ios::app | std::ios::binary) << line << '\n';
}

#else

void ApplyEnvironment(State&) {}
void AppendLog(const std::string&) {}

#endif

const char* PointerText(bool set) { return set ? "set" : "null"; }
std::string Text(const char* text) { return text == nullptr ? "(null)" : text; }

// The body of a run call with the state's lock held (its waits release it); returns the
// library's result.
int Run(std::unique_lock<std::mutex>& lock, State& state, const std::string& tun) {
  std::condition_variable& changed = The().changed;
  const RunMode mode = state.mode;
  const std::chrono::milliseconds delay = state.delay;
  const std::uint64_t ends = state.ends;
  const auto ended = [&] { return state.ends != ends; };
  // Stops made before the registration are not seen; an end during the delay is.
  if (mode == RunMode::kRegistersLate && changed.wait_for(lock, delay, ended)) return kTunnelFailed;
  if (state.registered) return kNotRegistered;
  const auto token = std::make_shared<bool>(false);
  state.registered = token;
  if (mode == RunMode::kFailsRegistered) return kNoRuntime;

  if (state.device.make && !state.device.make(tun)) {
    state.registered.reset();
    return kTunnelFailed;
  }
  const auto woken = [&] { return ended() || *token; };
  if (mode == RunMode::kDelay) changed.wait_for(lock, delay, woken);
  if (mode == RunMode::kBlock || mode == RunMode::kRegistersLate) changed.wait(lock, woken);
  if (mode == RunMode::kIgnoresStops) changed.wait(lock, ended);
  if (state.device.remove) state.device.remove(tun);
  state.registered.reset();
  return *token ? kStopped : kTunnelFailed;
}

}  // namespace

void Reset() {
  The()([](State& s) {
    State fresh;
    fresh.ends = s.ends;
    fresh.record.runs_inside = s.record.runs_inside;
    // A run call still inside stays registered, so that a stop still ends it.
    if (s.record.runs_inside > 0) fresh.registered = s.registered;
    s = std::move(fresh);
  });
}

void SetRunMode(RunMode mode, std::chrono::milliseconds delay) {
  The()([&](State& s) {
    s.mode = mode;
    s.delay = delay;
  });
}
void SetRunResult(int result) { The().Set(&State::run_result, result); }
void SetStopResult(int result) { The().Set(&State::stop_result, result); }
void SetStopHook(std::function<void()> hook) { The().Set(&State::stop_hook, std::move(hook)); }
void ModelDevice(DeviceModel model) { The().Set(&State::device, std::move(model)); }

void EndRunsByThemselves() {
  The()([](State& s) { ++s.ends; });
  The().changed.notify_all();
}

Record Recorded() { return The().Get(&State::record); }

bool WaitForRunCalls(int count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(The().mutex);
  return The().changed.wait_for(lock, timeout,
                                [&] { return The().state.record.run_calls >= count; });
}

const standins::ResetWhenLinked registered(&Reset);

}  // namespace brumo::tun2proxy_standin

namespace standin = brumo::tun2proxy_standin;

extern "C" {

int tun2proxy_with_name_run(const char* proxy_url, const char* tun, const char* bypass,
                            int dns_strategy, bool root_privilege, int verbosity) {
  auto& guarded = standin::The();
  standin::State& state = guarded.state;
  std::unique_lock<std::mutex> lock(guarded.mutex);
  standin::ApplyEnvironment(state);
  standin::RunArgs args{standin::Text(proxy_url), standin::Text(tun),
                        standin::Text(bypass),    dns_strategy,
                        root_privilege,           verbosity};
  standin::AppendLog(standin::LogLine(args));
  state.record.runs.push_back(args);
  state.record.calls.push_back("run");
  ++state.record.run_calls;
  ++state.record.runs_inside;
  guarded.changed.notify_all();

  const int result = standin::Run(lock, state, args.tun);
  --state.record.runs_inside;
  guarded.changed.notify_all();
  const bool replaceable = result == standin::kStopped || result == standin::kTunnelFailed;
  return replaceable ? state.run_result.value_or(result) : result;
}

int tun2proxy_stop(void) {
  brumo::standins::UpdateThenHook<standin::State>([](standin::State& s) {
    standin::ApplyEnvironment(s);
    standin::AppendLog("stop");
    s.record.calls.push_back("stop");
    ++s.record.stop_calls;
    return s.stop_hook;
  });
  // The hook ran outside the lock: it may wait for other threads that call into this
  // stand-in.
  const int result = standin::The()([](standin::State& s) {
    const int result = s.registered ? standin::kStopped : standin::kNotRegistered;
    if (s.registered) *std::exchange(s.registered, nullptr) = true;
    return s.stop_result.value_or(result);
  });
  standin::The().changed.notify_all();
  return result;
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* ctx) {
  standin::The()([&](standin::State& s) {
    standin::ApplyEnvironment(s);
    standin::AppendLog(fmt::format("set_log_callback callback={} ctx={}",
                                   standin::PointerText(callback != nullptr),
                                   standin::PointerText(ctx != nullptr)));
    s.record.calls.push_back("set_log_callback");
    ++s.record.set_log_callback_calls;
    s.record.log_callback = callback;
    s.record.log_context = ctx;
  });
}

}  // extern "C"
