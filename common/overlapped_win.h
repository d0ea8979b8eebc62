// Waiting out an overlapped call that has been cancelled. For *_win.cpp files only.
#pragma once

#include <windows.h>

namespace brumo {

// Returns once the overlapped call of `overlapped` has ended (after CancelIoEx, soon), so
// that its record and buffer may be used again. GetOverlappedResult with bWait cannot be
// trusted for this: it waits on the record's event, which may be set already (a wait that
// failed, a result that read ERROR_IO_INCOMPLETE), and then returns at once with the call
// still pending. The event is reset before the look at the record, so that an end that
// comes between the two still sets it.
inline void AwaitEnd(OVERLAPPED& overlapped) noexcept {
  for (;;) {
    ::ResetEvent(overlapped.hEvent);
    if (HasOverlappedIoCompleted(&overlapped)) return;
    // A wait that fails (it should not, on a live event) must not spin the processor.
    if (::WaitForSingleObject(overlapped.hEvent, INFINITE) == WAIT_FAILED) ::Sleep(1);
  }
}

}  // namespace brumo
