#include "control/io_cancel_timer_win.h"

#include <algorithm>
#include <mutex>

namespace brumo::pipe {
namespace {

// How often an armed timer looks at the clock and the event. Its test is repeated for as
// long as it stays armed, because a cancel issued just before the thread has entered its
// call finds nothing to cancel (ERROR_NOT_FOUND) and is not remembered.
constexpr std::chrono::milliseconds kCheckPeriod{50};

// A relative due time for SetThreadpoolTimer: negative, in units of 100 ns.
FILETIME DueIn(std::chrono::milliseconds delay) {
  ULARGE_INTEGER due;
  due.QuadPart = static_cast<ULONGLONG>(-(static_cast<LONGLONG>(delay.count()) * 10'000));
  return FILETIME{due.LowPart, due.HighPart};
}

}  // namespace

IoCancelTimer::~IoCancelTimer() {
  if (timer_ == nullptr) return;
  ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
  ::WaitForThreadpoolTimerCallbacks(timer_, TRUE);
  ::CloseThreadpoolTimer(timer_);
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
  if (timer_ == nullptr) timer_ = ::CreateThreadpoolTimer(&IoCancelTimer::Tick, this, nullptr);
  if (timer_ == nullptr) return false;
  deadline_ = std::chrono::steady_clock::now() + timeout;
  event_ = event;
  cause_ = Cause::kNone;
  armed_ = true;
  // Started only when resting, so that back-to-back calls do not touch the timer; it does
  // not wait for a tick, so it may be called under the lock.
  if (!ticking_) {
    FILETIME due = DueIn(std::clamp(timeout, std::chrono::milliseconds(0), kCheckPeriod));
    ::SetThreadpoolTimer(timer_, &due, static_cast<DWORD>(kCheckPeriod.count()), 0);
    ticking_ = true;
  }
  return true;
}

IoCancelTimer::Cause IoCancelTimer::Disarm() noexcept {
  const std::lock_guard hold(lock_);
  armed_ = false;
  return cause_;
}

void CALLBACK IoCancelTimer::Tick(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
  static_cast<IoCancelTimer*>(context)->Check();
}

void IoCancelTimer::Check() noexcept {
  const std::lock_guard hold(lock_);
  if (!armed_) {
    // Between two calls, or idle: rest until the next Arm, so that an idle service does
    // not wake up to look at the clock.
    ::SetThreadpoolTimer(timer_, nullptr, 0, 0);
    ticking_ = false;
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
