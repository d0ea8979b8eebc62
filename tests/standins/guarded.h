// The machinery the stand-ins share: one process-wide state per stand-in behind a mutex,
// the per-operation call count and the Nth-call fault, and the hook run outside the lock.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace brumo::standins {

// A stand-in's state `S` with its mutex, and a condition variable notified under it.
template <typename S>
struct Guarded {
  std::mutex mutex;
  std::condition_variable changed;
  S state;

  // Runs `access` on the state under the lock and returns what it returns.
  template <typename Access>
  auto operator()(Access access) {
    std::lock_guard<std::mutex> lock(mutex);
    return access(state);
  }
  template <typename T, typename V>
  void Set(T S::*field, V value) {
    (*this)([&](S& s) { s.*field = std::move(value); });
  }
  template <typename T>
  T Get(T S::*field) {
    return (*this)([&](S& s) { return s.*field; });
  }
};

// The one state of type `S` (each stand-in's own type) in the process.
template <typename S>
Guarded<S>& TheState() {
  static Guarded<S> state;
  return state;
}

// Counts the calls of each operation (from 1) and holds the faults set for the Nth call of
// an operation.
template <typename Op>
struct CallCounter {
  std::map<Op, int> counts;
  std::map<std::pair<Op, int>, std::uint32_t> faults;

  int Count(Op op) { return ++counts[op]; }
  std::optional<std::uint32_t> Fault(Op op, int nth) const {
    const auto it = faults.find({op, nth});
    if (it == faults.end()) return std::nullopt;
    return it->second;
  }
};

// Runs `update` on the state under the lock; it returns the hook to run, which is then
// called with `args` outside the lock, if set.
template <typename S, typename Update, typename... Args>
void UpdateThenHook(Update update, Args&&... args) {
  const auto hook = TheState<S>()(update);
  if (hook) hook(std::forward<Args>(args)...);
}

// The Reset of each stand-in linked into the program, each added once at static
// initialisation by the stand-in's `const ResetWhenLinked registered(&Reset);` (a const
// object at namespace scope: one per source file); standins::Scope runs them all.
inline std::vector<void (*)()>& LinkedResets() {
  static std::vector<void (*)()> resets;
  return resets;
}
struct ResetWhenLinked {
  explicit ResetWhenLinked(void (*reset)()) { LinkedResets().push_back(reset); }
};

}  // namespace brumo::standins
