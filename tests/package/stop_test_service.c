/* stop-test-service.exe: a service that refuses a stop (it accepts pause and continue only,
 * so ControlService answers ERROR_INVALID_SERVICE_CONTROL), for msi-helper's "stop". It ends
 * on a pause or by itself after 5 s. */
#include <windows.h>

static SERVICE_STATUS_HANDLE handle;
static SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
static HANDLE paused;

static DWORD WINAPI control(DWORD code, DWORD type, void* data, void* context) {
  (void)type, (void)data, (void)context;
  if (code == SERVICE_CONTROL_PAUSE) SetEvent(paused);
  return NO_ERROR;
}

static void WINAPI service_main(DWORD argc, wchar_t** argv) {
  (void)argc, (void)argv;
  paused = CreateEventW(NULL, TRUE, FALSE, NULL);
  handle = RegisterServiceCtrlHandlerExW(L"", control, NULL);
  status.dwCurrentState = SERVICE_RUNNING;
  status.dwControlsAccepted = SERVICE_ACCEPT_PAUSE_CONTINUE;
  SetServiceStatus(handle, &status);
  WaitForSingleObject(paused, 5000);
  status.dwCurrentState = SERVICE_STOPPED;
  status.dwControlsAccepted = 0;
  SetServiceStatus(handle, &status);
}

int wmain(void) {
  SERVICE_TABLE_ENTRYW table[] = {{L"", service_main}, {NULL, NULL}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
