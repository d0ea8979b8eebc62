// The library's own C functions (tun2proxy_with_name_run, tun2proxy_stop,
// tun2proxy_set_log_callback, ...) are exported by this shared library as they are.
pub use tun2proxy::*;
