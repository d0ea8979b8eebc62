/* msi-helper.exe: the program behind the BrumoVPN package's custom actions, run from the
 * package's Binary table as LocalSystem (never installed).
 *
 *   msi-helper.exe stop <service> <timeout_ms>
 *       Stops the service when it runs and waits until its process has exited (at most
 *       timeout_ms), so that none of its files is still in use when they are replaced or
 *       removed. Windows Installer's own stop waits for SERVICE_STOPPED, which a service
 *       reports before its process is gone; Wine's does not wait at all, and Wine then
 *       cannot delete the exe and DLLs of the still-running process. Nothing to stop (no
 *       such service, or stopped) is success. A service that is starting accepts no stop:
 *       it is asked again (every 100 ms) once it has left SERVICE_START_PENDING, all within
 *       timeout_ms; any other refusal of the stop ends the wait at once.
 *   msi-helper.exe start <service>
 *       Starts the service when it exists and is not running: the rollback of "stop", so
 *       that an install, repair or uninstall that fails after the stop leaves the service as
 *       it was. No such service, or already running, is success.
 *   msi-helper.exe recovery <service>
 *       Sets the service's recovery: restart after 5 s, 5 s and 60 s, the failure count
 *       reset after a day, and the failure-actions flag, so that the actions also apply when
 *       the service stops with an error of its own (a failed start-up). Prints what it sets.
 *   msi-helper.exe delete-driver <path of wintun.dll>
 *       Loads that wintun.dll and calls its WintunDeleteDriver, which deletes the Wintun
 *       driver from the driver store unless an adapter still uses it. Prints the outcome.
 *
 * Exit status: 0 done, 1 the service manager or Wintun refused or failed (the Win32 error
 * is printed), 2 "stop" timed out, 3 bad arguments (usage printed), 4 the service refused
 * the stop for another reason than starting (the Win32 error is printed). */
#include <stdio.h>
#include <wchar.h>
#include <windows.h>

enum { EXIT_DONE = 0, EXIT_FAILED = 1, EXIT_TIMEOUT = 2, EXIT_USAGE = 3, EXIT_REFUSED = 4 };

static int usage(void) {
  fwprintf(stderr,
           L"usage: msi-helper stop <service> <timeout_ms> | start <service> | "
           L"recovery <service> | delete-driver <wintun.dll>\n");
  return EXIT_USAGE;
}

static int failed(const wchar_t* what, const wchar_t* service) {
  fwprintf(stderr, L"msi-helper: %ls %ls: error %lu\n", what, service, GetLastError());
  return EXIT_FAILED;
}

/* A decimal number of milliseconds, digits only, at most 24 hours. */
static int parse_timeout(const wchar_t* text, DWORD* out) {
  unsigned long value = 0;
  if (!*text) return 0;
  for (const wchar_t* c = text; *c; ++c) {
    if (*c < L'0' || *c > L'9') return 0;
    value = value * 10 + (unsigned long)(*c - L'0');
    if (value > 86400000UL) return 0;
  }
  *out = (DWORD)value;
  return 1;
}

static int wait_stopped_by_polling(SC_HANDLE service, ULONGLONG deadline) {
  SERVICE_STATUS status;
  for (;;) {
    if (!QueryServiceStatus(service, &status) || status.dwCurrentState == SERVICE_STOPPED)
      return EXIT_DONE;
    if (GetTickCount64() >= deadline) return EXIT_TIMEOUT;
    Sleep(100);
  }
}

static int stop(SC_HANDLE service, const wchar_t* name, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  SERVICE_STATUS_PROCESS status;
  HANDLE process = NULL;
  for (;;) {
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status,
                              &needed) ||
        status.dwCurrentState == SERVICE_STOPPED) {
      if (process) CloseHandle(process);
      return EXIT_DONE;
    }
    /* The process handle is taken before the stop, while the id still names it. */
    if (!process && status.dwProcessId)
      process = OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId);
    if (status.dwCurrentState == SERVICE_STOP_PENDING) break;
    SERVICE_STATUS ignored;
    if (ControlService(service, SERVICE_CONTROL_STOP, &ignored)) break;
    const DWORD error = GetLastError();
    /* ERROR_SERVICE_NOT_ACTIVE: stopped meanwhile, which the next look tells (after the
     * pause below, so that a service manager that keeps saying so cannot spin this loop).
     * A service accepts no stop while it starts: asked again once it has started (or
     * stopped), within the same timeout. Windows refuses it with
     * ERROR_SERVICE_CANNOT_ACCEPT_CTRL, Wine with ERROR_INVALID_SERVICE_CONTROL, so the
     * state seen just before the request decides too. Any other refusal is final. */
    if (error != ERROR_SERVICE_NOT_ACTIVE && error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL &&
        status.dwCurrentState != SERVICE_START_PENDING) {
      if (process) CloseHandle(process);
      SetLastError(error);
      failed(L"stopping", name);
      return EXIT_REFUSED;
    }
    if (GetTickCount64() >= deadline) {
      if (process) CloseHandle(process);
      return EXIT_TIMEOUT;
    }
    Sleep(100);
  }
  int result;
  if (process) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now < deadline ? (DWORD)(deadline - now) : 0;
    result = WaitForSingleObject(process, left) == WAIT_OBJECT_0 ? EXIT_DONE : EXIT_TIMEOUT;
    CloseHandle(process);
  } else {
    result = wait_stopped_by_polling(service, deadline);
  }
  return result;
}

static int start(SC_HANDLE service, const wchar_t* name) {
  SERVICE_STATUS status;
  if (!QueryServiceStatus(service, &status)) return failed(L"querying", name);
  if (status.dwCurrentState != SERVICE_STOPPED) return EXIT_DONE;
  if (!StartServiceW(service, 0, NULL) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return failed(L"starting", name);
  return EXIT_DONE;
}

static int recovery(SC_HANDLE service, const wchar_t* name) {
  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, 5000},
      {SC_ACTION_RESTART, 5000},
      {SC_ACTION_RESTART, 60000},
  };
  SERVICE_FAILURE_ACTIONSW failure = {0};
  failure.dwResetPeriod = 86400;
  failure.cActions = sizeof actions / sizeof actions[0];
  failure.lpsaActions = actions;
  SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
  /* What is passed, printed before the calls (the package tests compare it with what the
   * service manager keeps, where it keeps it). */
  wprintf(L"%ls: reset %lu s;", name, failure.dwResetPeriod);
  for (DWORD i = 0; i < failure.cActions; ++i)
    wprintf(L" %ls %lu ms;", actions[i].Type == SC_ACTION_RESTART ? L"restart" : L"other",
            actions[i].Delay);
  wprintf(L" flag %d\n", flag.fFailureActionsOnNonCrashFailures);
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    return failed(L"setting the failure actions of", name);
  if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
    return failed(L"setting the failure-actions flag of", name);
  return EXIT_DONE;
}

/* Wintun's BOOL WINAPI WintunDeleteDriver(void). */
typedef BOOL(WINAPI* delete_driver_call)(void);

static int delete_driver(const wchar_t* path) {
  /* Its own folder and System32 only: the path names the installed copy. */
  HMODULE wintun =
      LoadLibraryExW(path, NULL, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!wintun) return failed(L"loading", path);
  /* Through void (*)(void), the type that stands for any function. */
  const delete_driver_call call =
      (delete_driver_call)(void (*)(void))GetProcAddress(wintun, "WintunDeleteDriver");
  int result;
  if (!call) {
    result = failed(L"finding WintunDeleteDriver in", path);
  } else if (!call()) {
    result = failed(L"WintunDeleteDriver of", path);
  } else {
    wprintf(L"%ls: WintunDeleteDriver done\n", path);
    result = EXIT_DONE;
  }
  FreeLibrary(wintun);
  return result;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || !*argv[2]) return usage();
  const wchar_t *command = argv[1], *name = argv[2];
  if (wcscmp(command, L"delete-driver") == 0) return argc == 3 ? delete_driver(name) : usage();
  DWORD timeout_ms = 0;
  DWORD access;
  enum { STOP, START, RECOVERY } which;
  if (wcscmp(command, L"stop") == 0) {
    if (argc != 4 || !parse_timeout(argv[3], &timeout_ms)) return usage();
    which = STOP;
    access = SERVICE_QUERY_STATUS | SERVICE_STOP;
  } else if (wcscmp(command, L"start") == 0 && argc == 3) {
    which = START;
    access = SERVICE_QUERY_STATUS | SERVICE_START;
  } else if (wcscmp(command, L"recovery") == 0 && argc == 3) {
    which = RECOVERY;
    /* SERVICE_START too: restart actions need it on the handle that sets them. */
    access = SERVICE_CHANGE_CONFIG | SERVICE_START;
  } else {
    return usage();
  }

  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) return failed(L"opening the service manager for", name);
  SC_HANDLE service = OpenServiceW(manager, name, access);
  int result;
  if (!service) {
    /* Nothing to stop or start when the service is not there; recovery needs it. */
    result = which == RECOVERY || GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST
                 ? failed(L"opening", name)
                 : EXIT_DONE;
  } else {
    result = which == STOP    ? stop(service, name, timeout_ms)
             : which == START ? start(service, name)
                              : recovery(service, name);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}
