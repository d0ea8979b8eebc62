#include "tests/real_tun2proxy/net_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

namespace brumo::real_net {

namespace {

constexpr std::size_t kKeptBody = 4096;

std::string Errno(std::string_view what) { return std::string(what) + ": " + std::strerror(errno); }

std::optional<sockaddr_in> ToSockaddr(const Endpoint& endpoint, std::string& error) {
  sockaddr_in out{};
  out.sin_family = AF_INET;
  out.sin_port = htons(endpoint.port);
  if (inet_pton(AF_INET, endpoint.ip.c_str(), &out.sin_addr) == 1) return out;
  error = "not an IPv4 address: " + endpoint.ip;
  return std::nullopt;
}

const sockaddr* Generic(const sockaddr_in& address) {
  return reinterpret_cast<const sockaddr*>(&address);
}

ScopedFd OpenSocket(int type, std::string& error) {
  ScopedFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd) {
    error = Errno("socket");
    return fd;
  }
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(kIoTimeout.count());
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

bool RecvExact(int fd, unsigned char* out, std::size_t size, std::string& error) {
  const ssize_t n = ::recv(fd, out, size, MSG_WAITALL);
  if (n == static_cast<ssize_t>(size)) return true;
  error = n < 0 ? Errno("recv") : "connection closed early";
  return false;
}

void AppendAddress(std::string& out, const sockaddr_in& address) {
  out.push_back('\x01');
  out.append(reinterpret_cast<const char*>(&address.sin_addr), 4);
  out.append(reinterpret_cast<const char*>(&address.sin_port), 2);
}

// Greets a SOCKS5 proxy without authentication and sends `command` for `target`; reads the
// reply and returns its bound address. Only IPv4 replies are understood.
bool Socks5Request(int fd, unsigned char command, const sockaddr_in& target, sockaddr_in& bound,
                   std::string& error) {
  if (!SendAll(fd, std::string_view("\x05\x01\x00", 3), error)) return false;
  unsigned char greeting[2];
  if (!RecvExact(fd, greeting, 2, error)) return false;
  if (greeting[0] != 5 || greeting[1] != 0) {
    error = "SOCKS5 proxy refused the method";
    return false;
  }
  std::string request{'\x05', static_cast<char>(command), '\0'};
  AppendAddress(request, target);
  if (!SendAll(fd, request, error)) return false;
  unsigned char reply[10];
  if (!RecvExact(fd, reply, sizeof reply, error)) return false;
  if (reply[1] != 0 || reply[3] != 1) {
    error = "SOCKS5 reply " + std::to_string(reply[1]) + " (address type " +
            std::to_string(reply[3]) + ")";
    return false;
  }
  bound = sockaddr_in{};
  bound.sin_family = AF_INET;
  std::memcpy(&bound.sin_addr, reply + 4, 4);
  std::memcpy(&bound.sin_port, reply + 8, 2);
  return true;
}

}  // namespace

ScopedFd ConnectTcp(const Endpoint& to, std::string& error) {
  const std::optional<sockaddr_in> address = ToSockaddr(to, error);
  ScopedFd fd = address ? OpenSocket(SOCK_STREAM, error) : ScopedFd();
  if (fd && ::connect(fd.get(), Generic(*address), sizeof *address) != 0) {
    error = Errno("connect");
    fd.reset();
  }
  return fd;
}

ScopedFd ListenTcp(const Endpoint& at, std::string& error) {
  const std::optional<sockaddr_in> address = ToSockaddr(at, error);
  ScopedFd fd = address ? OpenSocket(SOCK_STREAM, error) : ScopedFd();
  const int yes = 1;
  if (fd &&
      (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
       ::bind(fd.get(), Generic(*address), sizeof *address) != 0 || ::listen(fd.get(), 16) != 0)) {
    error = Errno("listen");
    fd.reset();
  }
  return fd;
}

bool SendAll(int fd, std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) {
      error = Errno("send");
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool ReadHarness(Harness& harness, std::string& error) {
  const char* const names[] = {"BRUMO_NET_SERVER_ADDR", "BRUMO_NET_PROXY", "BRUMO_NET_PROXY_ADDR"};
  std::string values[3];
  for (int i = 0; i < 3; ++i) {
    const char* value = std::getenv(names[i]);
    if (value == nullptr || *value == '\0') {
      error = std::string(names[i]) + " is not set: run under run-in-net";
      return false;
    }
    values[i] = value;
  }
  const std::size_t colon = values[1].rfind(':');
  if (colon == std::string::npos) {
    error = "BRUMO_NET_PROXY is not address:port";
    return false;
  }
  harness.http = {values[0], 80};
  harness.dns = {values[0], 53};
  harness.proxy = {values[1].substr(0, colon),
                   static_cast<std::uint16_t>(std::atoi(values[1].c_str() + colon + 1))};
  harness.proxy_external = values[2];
  return true;
}

HttpReply HttpGet(const Endpoint& server, std::string_view path, const Endpoint* socks) {
  HttpReply reply;
  const std::optional<sockaddr_in> target = ToSockaddr(server, reply.error);
  ScopedFd fd = target ? ConnectTcp(socks != nullptr ? *socks : server, reply.error) : ScopedFd();
  if (!fd) return reply;
  sockaddr_in bound{};
  if (socks != nullptr && !Socks5Request(fd.get(), 1, *target, bound, reply.error)) return reply;

  std::string request = "GET ";
  request.append(path).append(" HTTP/1.1\r\nHost: ").append(server.ip);
  request.append("\r\nConnection: close\r\n\r\n");
  if (!SendAll(fd.get(), request, reply.error)) return reply;

  // The reply ends after Content-Length bytes of body: a server's close is not relied on,
  // since tun2proxy does not pass it on while the client's side stays open.
  std::string head;
  std::vector<char> buffer(1 << 16);
  std::size_t length = std::string::npos;  // the body's, once the head is in
  while (length == std::string::npos || reply.body_bytes < length) {
    const ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
    if (n <= 0) {
      reply.error = n == 0 ? "connection closed before the reply's end" : Errno("recv");
      return reply;
    }
    std::string_view part(buffer.data(), static_cast<std::size_t>(n));
    if (length == std::string::npos) {
      head.append(part);
      const std::size_t header_end = head.find("\r\n\r\n");
      if (header_end == std::string::npos) continue;
      const std::size_t field = head.find("\r\nContent-Length: ");
      if (head.compare(0, 9, "HTTP/1.1 ") != 0 || field == std::string::npos ||
          field > header_end) {
        reply.error = "no HTTP/1.1 reply head with a Content-Length";
        return reply;
      }
      length = std::strtoull(head.c_str() + field + 18, nullptr, 10);
      reply.status = std::atoi(head.c_str() + 9);
      part = std::string_view(head).substr(header_end + 4);
    }
    reply.body_bytes += part.size();
    reply.body.append(part.substr(0, kKeptBody - reply.body.size()));
  }
  reply.ok = true;
  return reply;
}

DnsClient::DnsClient(const Endpoint& server, const Endpoint* socks) : server_(server) {
  std::optional<sockaddr_in> relay = ToSockaddr(server, error_);
  if (relay) udp_ = OpenSocket(SOCK_DGRAM, error_);
  if (!udp_) return;
  if (socks != nullptr) {
    control_ = ConnectTcp(*socks, error_);
    if (!control_) return;
    // The association names the client's own UDP address, so bind it first.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    if (::bind(udp_.get(), Generic(local), sizeof local) != 0 ||
        ::getsockname(udp_.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
      error_ = Errno("bind");
      return;
    }
    if (!Socks5Request(control_.get(), 3, local, *relay, error_)) return;
  }
  if (::connect(udp_.get(), Generic(*relay), sizeof *relay) != 0) error_ = Errno("connect");
}

DnsReply DnsClient::QueryA(std::string_view name) {
  if (!ok()) return {false, error_, ""};
  const std::uint16_t id = next_id_++;
  std::string query;
  if (control_) {
    query.append("\0\0\0", 3);  // reserved, fragment 0
    AppendAddress(query, *ToSockaddr(server_, error_));
  }
  // Replies relayed through the proxy carry the same SOCKS5 UDP header in front.
  const std::size_t start = query.size();
  const unsigned char header[12] = {
      static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id & 0xff), 1, 0, 0, 1};
  query.append(reinterpret_cast<const char*>(header), sizeof header);
  while (!name.empty()) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    query.push_back(static_cast<char>(label.size()));
    query.append(label);
    name.remove_prefix(dot == std::string_view::npos ? name.size() : dot + 1);
  }
  query.append("\0\0\x01\0\x01", 5);  // root, QTYPE A, QCLASS IN
  if (::send(udp_.get(), query.data(), query.size(), 0) != static_cast<ssize_t>(query.size())) {
    return {false, Errno("send"), ""};
  }
  unsigned char in[2048];
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t n = ::recv(udp_.get(), in, sizeof in, 0);
    if (n < 0) return {false, Errno("recv"), ""};
    const std::size_t size = static_cast<std::size_t>(n);
    if (size < start + 12 + 4) continue;
    const unsigned char* dns = in + start;
    if (dns[0] != (id >> 8) || dns[1] != (id & 0xff)) continue;  // a late reply
    const int answers = (dns[6] << 8) | dns[7];
    if (answers < 1 || dns[size - start - 6] != 0 || dns[size - start - 5] != 4) {
      return {false, "no A record in the reply", ""};
    }
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, in + size - 4, text, sizeof text);
    return {true, "", text};
  }
  return {false, "no reply with the query's id", ""};
}

}  // namespace brumo::real_net
