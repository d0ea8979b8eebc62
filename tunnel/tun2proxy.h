// The three functions of the tun2proxy library that the service uses, with the C types
// of the library's own interface. The library ships as tun2proxy.dll without an import
// library; the build makes one from tun2proxy.def. Supported versions: 0.7.15 to 0.7.17.
#pragma once

extern "C" {

// Values of the library's C enums (32-bit).
enum Tun2proxyDns {
  TUN2PROXY_DNS_VIRTUAL = 0,
  TUN2PROXY_DNS_OVER_TCP = 1,
  TUN2PROXY_DNS_DIRECT = 2
};
enum Tun2proxyVerbosity { TUN2PROXY_VERBOSITY_OFF = 0 };

typedef void (*Tun2proxyLogCallback)(int level, const char* message, void* ctx);

// Blocks for the life of the tunnel; returns when tun2proxy_stop is called from another
// thread or when the library ends the tunnel by itself. Non-zero means failure.
int tun2proxy_with_name_run(const char* proxy_url, const char* tun, const char* bypass,
                            int dns_strategy, bool root_privilege, int verbosity);

// Asks a running tunnel to end. Non-zero means failure.
int tun2proxy_stop(void);

// Installs (or, with null, removes) the library's log callback.
void tun2proxy_set_log_callback(Tun2proxyLogCallback callback, void* ctx);

}  // extern "C"
