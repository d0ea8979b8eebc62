// Process entry of BrumoVPN.exe.
#include "service/service_host.h"

int main(int argc, char** argv) {
  // Exit-time destruction of whatever the slots still hold, in the reverse of creation.
  static brumo::ServiceSlots slots;
  // Never destroyed: when the dispatcher returns, the service main thread may still be
  // leaving its last report (and the host's lock) while this thread runs the exit-time
  // destructors. The slots are past their last use by then.
  brumo::ServiceHost* host = nullptr;
  try {
    host = new brumo::ServiceHost(&slots);
  } catch (...) {
    return static_cast<int>(brumo::kUnhandledExceptionExitCode);
  }
  // Catches everything itself, also what the control handler's thread would raise inside
  // the dispatcher.
  return brumo::RunServiceProcess(host, argc > 0 && argv[0] != nullptr ? argv[0] : "");
}
