// A stand-in wintun.dll for test packages: BrumoVPN.exe does not bind Wintun itself (the
// real tun2proxy.dll does), so the stand-in only has to be a loadable x64 DLL of that name,
// and to take the package's call on uninstall. Of Wintun's functions it exports only
// WintunDeleteDriver, so packaging/build-msi refuses it for a release package. Never shipped.
//
// WintunDeleteDriver appends the line "WintunDeleteDriver" to wintun.log beside the DLL
// when that file exists (the package tests make it) and returns TRUE.
#include <windows.h>

#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL

extern "C" __declspec(dllexport) BOOL WINAPI WintunDeleteDriver() {
  std::wstring path(MAX_PATH, L'\0');
  const DWORD length = ::GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path.data(),
                                            static_cast<DWORD>(path.size()));
  const size_t dot = path.rfind(L'.', length);
  if (length == 0 || length >= path.size() || dot == std::wstring::npos) return TRUE;
  path.replace(dot, std::wstring::npos, L".log");
  HANDLE log = ::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return TRUE;
  static const char line[] = "WintunDeleteDriver\n";
  DWORD written = 0;
  ::WriteFile(log, line, sizeof line - 1, &written, nullptr);
  ::CloseHandle(log);
  return TRUE;
}
