// Link-time stand-in for TunnelController: only the public operations are defined, so the
// real class's private helpers may change without touching this file.
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "tests/fakes/controller/fake_controller.h"
#include "tunnel/tunnel_controller.h"

namespace brumo {
namespace fake_controller {
namespace {

struct State {
  std::mutex mutex;
  Behaviour behaviour;
  bool running = false;
  Calls calls;
};

State& GetState() {
  static State state;
  return state;
}

}  // namespace

void Reset() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.behaviour = Behaviour();
  s.running = false;
  s.calls = Calls();
}

void SetBehaviour(const Behaviour& behaviour) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.behaviour = behaviour;
}

Behaviour GetBehaviour() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.behaviour;
}

void SetRunning(bool running) {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.running = running;
}

bool Running() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.running;
}

Calls GetCalls() {
  State& s = GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.calls;
}

void ThrowAs(Throw kind) {
  switch (kind) {
    case Throw::kSystemError:
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    case Throw::kBadAlloc:
      throw std::bad_alloc();
    case Throw::kNonStd:
      throw NonStdError{42};
    case Throw::kNothing:
      break;
  }
  throw std::logic_error("ThrowAs(Throw::kNothing)");
}

}  // namespace fake_controller

namespace fc = fake_controller;

TunnelController::TunnelController(DnsLeakGuard* /*dns_guard*/) {
  fc::State& s = fc::GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls.constructed;
}

TunnelController::~TunnelController() {
  fc::State& s = fc::GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls.destroyed;
}

OpResult TunnelController::Start() {
  fc::State& s = fc::GetState();
  fc::Behaviour behaviour;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.calls.start;
    behaviour = s.behaviour;
  }
  if (behaviour.start_delay.count() > 0) std::this_thread::sleep_for(behaviour.start_delay);
  if (behaviour.start_throws != fc::Throw::kNothing) fc::ThrowAs(behaviour.start_throws);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (behaviour.start_result) {
    if (behaviour.start_result->ok) s.running = true;
    return *behaviour.start_result;
  }
  if (s.running) return OpResult::Failure("VPN already running");
  s.running = true;
  return OpResult::Success();
}

OpResult TunnelController::Stop() {
  fc::State& s = fc::GetState();
  fc::Behaviour behaviour;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.calls.stop;
    behaviour = s.behaviour;
  }
  if (behaviour.stop_delay.count() > 0) std::this_thread::sleep_for(behaviour.stop_delay);
  if (behaviour.stop_throws != fc::Throw::kNothing) fc::ThrowAs(behaviour.stop_throws);
  std::lock_guard<std::mutex> lock(s.mutex);
  if (behaviour.stop_result) {
    if (behaviour.stop_result->ok) s.running = false;
    return *behaviour.stop_result;
  }
  s.running = false;
  return OpResult::Success();
}

bool TunnelController::IsRunning() const {
  fc::State& s = fc::GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls.is_running;
  if (s.behaviour.status_throws != fc::Throw::kNothing) fc::ThrowAs(s.behaviour.status_throws);
  return s.running;
}

TunnelStatus TunnelController::GetStatus() const {
  fc::State& s = fc::GetState();
  std::lock_guard<std::mutex> lock(s.mutex);
  ++s.calls.get_status;
  if (s.behaviour.status_throws != fc::Throw::kNothing) fc::ThrowAs(s.behaviour.status_throws);
  return TunnelStatus{s.running};
}

}  // namespace brumo
