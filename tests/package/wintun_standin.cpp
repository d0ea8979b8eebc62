// A stand-in wintun.dll for test packages: BrumoVPN.exe does not bind Wintun itself (the
// real tun2proxy.dll does), so the stand-in only has to be a loadable x64 DLL of that name.
// It exports none of Wintun's functions, by which packaging/build-msi refuses it for a
// release package. Never shipped.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
