"""The server host of the real-traffic harness (scripts/lib/real-net.sh): an HTTP server and
a DNS server that tell each client the address they saw it come from.

  python3 peer_servers.py ADDRESS READY_FILE

HTTP on ADDRESS:80: GET /            -> the peer's IPv4 address as text
                    GET /bytes/N     -> N bytes of 'x' (at most 64 MiB), for throughput
DNS on ADDRESS:53 (UDP): any query -> one A record holding the peer's IPv4 address, TTL 0.
Writes READY_FILE once both sockets listen; runs until killed."""
import http.server
import socket
import socketserver
import struct
import sys
import threading

ADDRESS, READY = sys.argv[1], sys.argv[2]
MAX_BYTES = 64 << 20
CHUNK = b"x" * 65536


class Http(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/bytes/"):
            try:
                size = int(self.path[len("/bytes/"):])
            except ValueError:
                size = -1
            if not 0 <= size <= MAX_BYTES:
                self.send_error(400)
                return
            self.send_response(200)
            self.send_header("Content-Length", str(size))
            self.end_headers()
            while size > 0:
                part = CHUNK[: min(size, len(CHUNK))]
                self.wfile.write(part)
                size -= len(part)
            return
        body = self.client_address[0].encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class HttpServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def dns_reply(query, peer):
    if len(query) < 12:
        return None
    ident, _flags, qdcount = struct.unpack("!HHH", query[:6])
    end = 12
    if qdcount != 1:
        return None
    while end < len(query) and query[end] != 0:
        end += query[end] + 1
    end += 5  # the root label, QTYPE and QCLASS
    if end > len(query):
        return None
    header = struct.pack("!HHHHHH", ident, 0x8180, 1, 1, 0, 0)
    answer = struct.pack("!HHHIH", 0xC00C, 1, 1, 0, 4) + socket.inet_aton(peer)
    return header + query[12:end] + answer


def serve_dns(sock):
    while True:
        query, peer = sock.recvfrom(2048)
        reply = dns_reply(query, peer[0])
        if reply:
            sock.sendto(reply, peer)


http_server = HttpServer((ADDRESS, 80), Http)
dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
dns.bind((ADDRESS, 53))
threading.Thread(target=serve_dns, args=(dns,), daemon=True).start()
with open(READY, "w") as ready:
    ready.write("ready\n")
http_server.serve_forever()
