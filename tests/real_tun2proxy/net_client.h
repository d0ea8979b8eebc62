// Plain-socket clients of the real-traffic harness (scripts/lib/real-net.sh), for the tests
// and the benchmark that carry traffic through the real tun2proxy: an HTTP GET and DNS A
// queries, each sent either straight to the server (through whatever route the system
// has, the tunnel when it is routed there) or through a SOCKS5 proxy (CONNECT for HTTP,
// UDP ASSOCIATE for DNS). Every socket call is bounded by kIoTimeout. Also the TCP pieces
// of the other Linux programs over the real tun2proxy. Linux only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/real_tun2proxy/scoped_fd.h"

namespace brumo::real_net {

inline constexpr std::chrono::seconds kIoTimeout{5};

struct Endpoint {
  std::string ip;  // dotted IPv4
  std::uint16_t port = 0;
};

// A TCP connection to `to`, or a listener on `at` (address reused); none on failure, with
// `error` saying why.
ScopedFd ConnectTcp(const Endpoint& to, std::string& error);
ScopedFd ListenTcp(const Endpoint& at, std::string& error);
// Sends all of `bytes` (never raising SIGPIPE).
bool SendAll(int fd, std::string_view bytes, std::string& error);

// The harness's addresses, from the BRUMO_NET_* variables that real-net.sh exports.
struct Harness {
  Endpoint http;               // the server host's HTTP server
  Endpoint dns;                // its DNS server
  Endpoint proxy;              // dante
  std::string proxy_external;  // the address the servers see the proxy's traffic come from
};
// False, with `error` saying which variable is missing, outside the harness.
bool ReadHarness(Harness& harness, std::string& error);

struct HttpReply {
  bool ok = false;
  std::string error;  // when not ok
  int status = 0;
  std::string body;
  std::size_t body_bytes = 0;  // counted; `body` is kept only up to 4 KiB
};
// GET `path` from `server` (HTTP/1.1, Connection: close); through `socks` when given.
HttpReply HttpGet(const Endpoint& server, std::string_view path, const Endpoint* socks = nullptr);

struct DnsReply {
  bool ok = false;
  std::string error;
  std::string address;  // the first A record, dotted
};

// One UDP socket to a DNS server, or one SOCKS5 UDP association, kept for many queries.
class DnsClient {
 public:
  // Opens the socket (and the association through `socks` when given); check ok().
  explicit DnsClient(const Endpoint& server, const Endpoint* socks = nullptr);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  // Asks for the A record of `name` and waits for the reply with the same id.
  DnsReply QueryA(std::string_view name);

 private:
  Endpoint server_;
  // The SOCKS5 association's TCP connection, none without a proxy; it lasts as long as the
  // socket.
  ScopedFd control_;
  ScopedFd udp_;
  std::uint16_t next_id_ = 0x4200;
  std::string error_;
};

}  // namespace brumo::real_net
