/* stop-and-wait.exe: run by the BrumoVPN package before its StopServices action, from the
 * package's Binary table (never installed).
 *
 *   stop-and-wait.exe <service> [timeout_ms]
 *
 * Stops the service when it runs and waits until its process has exited (at most timeout_ms,
 * default 60000), so that none of its files is still in use when they are replaced or
 * removed. Windows Installer's own stop waits for SERVICE_STOPPED, which a service reports
 * before its process is gone; Wine's does not wait at all, and Wine then cannot delete the
 * exe and DLLs of the still-running process. Exit status: 0 stopped or nothing to stop,
 * 1 no service manager, 2 timed out. */
#include <windows.h>
#include <stdlib.h>

static int wait_stopped_by_polling(SC_HANDLE service, DWORD timeout_ms) {
  SERVICE_STATUS status;
  for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
      return 0;
    Sleep(100);
  }
  return 2;
}

int wmain(int argc, wchar_t **argv) {
  const wchar_t *name = argc > 1 ? argv[1] : L"BrumoVPN";
  DWORD timeout_ms = argc > 2 ? (DWORD)wcstoul(argv[2], NULL, 10) : 60000;
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) return 1;
  SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS | SERVICE_STOP);
  if (!service) { /* not installed: nothing to stop */
    CloseServiceHandle(manager);
    return 0;
  }
  int result = 0;
  SERVICE_STATUS_PROCESS status;
  DWORD needed = 0;
  if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&status, sizeof status,
                           &needed) &&
      status.dwCurrentState != SERVICE_STOPPED) {
    /* The process handle is taken before the stop, while the id still names it. */
    HANDLE process = status.dwProcessId ? OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId) : NULL;
    if (status.dwCurrentState != SERVICE_STOP_PENDING) {
      SERVICE_STATUS ignored;
      ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    }
    if (process) {
      result = WaitForSingleObject(process, timeout_ms) == WAIT_OBJECT_0 ? 0 : 2;
      CloseHandle(process);
    } else {
      result = wait_stopped_by_polling(service, timeout_ms);
    }
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return result;
}
