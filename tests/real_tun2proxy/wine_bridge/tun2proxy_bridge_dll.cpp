// A "tun2proxy.dll" for tests under Wine only, never shipped: it hands each of the three
// calls the service makes to tun2proxy-bridge, a Linux program over the real library that
// listens on 127.0.0.1 (bridge_wire.h), one connection per call.
//
// When the bridge cannot be reached, or its connection ends before it answers, nothing has
// run: the run call returns -4 at once (as the real one does when its device cannot be
// made, so the service reports a tunnel that ended early), the stop returns -1 (nothing
// registered was cancelled), and the log call does nothing. A stop waits at most
// kReplyTimeoutMs for its reply; the service repeats stops until its run call has returned,
// and a bridge that vanished ends that run call too. Nothing here blocks for ever but a run
// that the bridge still runs.
#include <winsock2.h>
// After winsock2.h, whose types it uses.
#include <ws2tcpip.h>

#include <string>

#include "common/scoped_resource_win.h"
#include "tests/real_tun2proxy/wine_bridge/bridge_wire.h"
#include "tunnel/tun2proxy.h"

namespace brumo::t2p_bridge {
namespace {

constexpr int kUnreachableRun = -4;
constexpr int kUnreachableStop = -1;
constexpr DWORD kReplyTimeoutMs = 10000;

struct SocketTraits {
  using Value = SOCKET;
  static Value Invalid() noexcept { return INVALID_SOCKET; }
  static bool IsValid(Value v) noexcept { return v != INVALID_SOCKET; }
  static void Close(Value v) noexcept { closesocket(v); }
};
using ScopedSocket = ScopedResource<SocketTraits>;

// Winsock, started by the first call for the rest of the process.
bool WinsockStarted() {
  static WSADATA data{};
  static const bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  return started;
}

// A connection to the bridge whose replies wait at most `reply_timeout_ms` (0: no bound).
ScopedSocket Connect(DWORD reply_timeout_ms) {
  ScopedSocket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!s || connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    return {};
  }
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&reply_timeout_ms),
             sizeof reply_timeout_ms);
  return s;
}

bool SendAll(SOCKET s, const std::string& text) {
  for (std::size_t sent = 0; sent < text.size();) {
    const int n = send(s, text.data() + sent, static_cast<int>(text.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// The number on the reply's line; nullopt when the connection ended, timed out or the line
// is not a number.
std::optional<int> ReadReply(SOCKET s) {
  std::string text;
  char buffer[64];
  while (text.find('\n') == std::string::npos && text.size() < kMaxRequest) {
    const int n = recv(s, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const std::vector<std::string> lines = Lines(text);
  return lines.empty() ? std::nullopt : ParseInt(lines.front());
}

// One call: sends `request`, waits for the reply (at most `reply_timeout_ms`; 0: no bound).
std::optional<int> Call(const std::string& request, DWORD reply_timeout_ms) {
  if (!WinsockStarted()) return std::nullopt;
  const ScopedSocket s = Connect(reply_timeout_ms);
  if (!s || !SendAll(s.get(), request)) return std::nullopt;
  return ReadReply(s.get());
}

const char* OrEmpty(const char* text) { return text == nullptr ? "" : text; }

}  // namespace
}  // namespace brumo::t2p_bridge

namespace bridge = brumo::t2p_bridge;

extern "C" {

int tun2proxy_with_name_run(const char* proxy_url, const char* tun, const char* bypass,
                            int dns_strategy, bool root_privilege, int verbosity) {
  const std::optional<std::string> request =
      bridge::EncodeRun({bridge::OrEmpty(proxy_url), bridge::OrEmpty(tun), bridge::OrEmpty(bypass),
                         dns_strategy, root_privilege, verbosity});
  return request ? bridge::Call(*request, 0).value_or(bridge::kUnreachableRun)
                 : bridge::kUnreachableRun;
}

int tun2proxy_stop(void) {
  return bridge::Call("stop\n", bridge::kReplyTimeoutMs).value_or(bridge::kUnreachableStop);
}

void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void*) {
  // A callback cannot cross to the other process: the bridge writes the library's messages
  // to its own output instead.
  static_cast<void>(
      bridge::Call(callback == nullptr ? "log null\n" : "log set\n", bridge::kReplyTimeoutMs));
}

}  // extern "C"
