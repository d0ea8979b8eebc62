/* stop-test-service.exe: services that refuse a stop, for msi-helper's "stop".
 *   stop-test-service.exe        runs and accepts pause and continue only (so ControlService
 *                                answers a stop with ERROR_INVALID_SERVICE_CONTROL); it ends
 *                                on a pause or by itself after 10 s.
 *   stop-test-service.exe slow   stays start-pending, accepting no control, for 3 s, then
 *                                runs and accepts a stop, on which it ends (or after 20 s). */
#include <windows.h>

static SERVICE_STATUS_HANDLE handle;
static SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
static HANDLE ended;
static BOOL slow;

static DWORD WINAPI control(DWORD code, DWORD type, void* data, void* context) {
  (void)type, (void)data, (void)context;
  if (code == (slow ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_PAUSE)) SetEvent(ended);
  return NO_ERROR;
}

static void WINAPI service_main(DWORD argc, wchar_t** argv) {
  (void)argc, (void)argv;
  ended = CreateEventW(NULL, TRUE, FALSE, NULL);
  handle = RegisterServiceCtrlHandlerExW(L"", control, NULL);
  if (slow) {
    status.dwWaitHint = 10000;
    SetServiceStatus(handle, &status);
    Sleep(3000);
  }
  status.dwCurrentState = SERVICE_RUNNING;
  status.dwControlsAccepted = slow ? SERVICE_ACCEPT_STOP : SERVICE_ACCEPT_PAUSE_CONTINUE;
  status.dwWaitHint = 0;
  SetServiceStatus(handle, &status);
  WaitForSingleObject(ended, slow ? 20000 : 10000);
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = 0;
  SetServiceStatus(handle, &status);
}

int wmain(int argc, wchar_t** argv) {
  slow = argc > 1 && lstrcmpW(argv[1], L"slow") == 0;
  SERVICE_TABLE_ENTRYW table[] = {{L"", service_main}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
