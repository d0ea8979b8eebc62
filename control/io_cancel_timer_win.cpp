#include "control/io_cancel_timer_win.h"

#include <mutex>

namespace brumo::pipe {
namespace {

// How often an armed timer looks at the clock and the event. Its test is repeated for as
// long as it stays armed, because a cancel issued just before the thread has entered its
// call finds nothing to cancel (ERROR_NOT_FOUND) and is not remembered.
constexpr DWORD kCheckPeriodMs = 50;
// The due time and period of a resting timer: about 24 days. The timer is never left as a
// one-shot: one that has fired can no longer be changed.
constexpr DWORD kRestingMs = 0x7fffffff;

}  // namespace

IoCancelTimer::~IoCancelTimer() {
  if (timer_ == nullptr) return;
  // INVALID_HANDLE_VALUE: returns once a running tick has finished.
  ::DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
}

bool IoCancelTimer::Arm(std::chrono::milliseconds timeout, HANDLE event) noexcept {
  const std::lock_guard hold(lock_);
  // A real handle to the calling thread: GetCurrentThread's pseudo-handle would mean the
  // timer's own thread there.
  if (!thread_ &&
      !::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(),
                         thread_.put(), 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    thread_.reset();
    return false;
  }
  // Created resting, so that no tick comes before timer_ is set.
  if (timer_ == nullptr && !::CreateTimerQueueTimer(&timer_, nullptr, &IoCancelTimer::Tick, this,
                                                    kRestingMs, kRestingMs, WT_EXECUTEDEFAULT)) {
    timer_ = nullptr;
    return false;
  }
  // Started only when resting, so that back-to-back calls do not touch the timer; it does
  // not wait for a tick, so it may be called under the lock.
  if (!ticking_) {
    if (!::ChangeTimerQueueTimer(nullptr, timer_, kCheckPeriodMs, kCheckPeriodMs)) return false;
    ticking_ = true;
  }
  deadline_ = std::chrono::steady_clock::now() + timeout;
  event_ = event;
  cause_ = Cause::kNone;
  armed_ = true;
  return true;
}

IoCancelTimer::Cause IoCancelTimer::Disarm() noexcept {
  const std::lock_guard hold(lock_);
  armed_ = false;
  return cause_;
}

void CALLBACK IoCancelTimer::Tick(void* context, BOOLEAN /*timer_fired*/) {
  static_cast<IoCancelTimer*>(context)->Check();
}

void IoCancelTimer::Check() noexcept {
  const std::lock_guard hold(lock_);
  if (!armed_) {
    // Between two calls, or idle: rest until the next Arm, so that an idle service does
    // not wake up to look at the clock.
    // Should the change fail, the timer goes on ticking and a later tick tries again.
    if (::ChangeTimerQueueTimer(nullptr, timer_, kRestingMs, kRestingMs)) ticking_ = false;
    return;
  }
  if (cause_ == Cause::kNone) {
    if (std::chrono::steady_clock::now() >= deadline_) {
      cause_ = Cause::kTimedOut;
    } else if (event_ != nullptr && ::WaitForSingleObject(event_, 0) == WAIT_OBJECT_0) {
      cause_ = Cause::kSignalled;
    }
  }
  if (cause_ != Cause::kNone) ::CancelSynchronousIo(thread_.get());
}

}  // namespace brumo::pipe
