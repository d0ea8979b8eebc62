/* recovery-query.exe <service>: prints the service's recovery as the service manager keeps
 * it (QueryServiceConfig2), in the form msi-helper's "recovery" prints what it set:
 *   BrumoVPN: reset 86400 s; restart 5000 ms; restart 5000 ms; restart 60000 ms; flag 1
 * Exit status 1 when the service or a query fails. */
#include <stdio.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 1;
  SC_HANDLE manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? OpenServiceW(manager, argv[1], SERVICE_QUERY_CONFIG) : NULL;
  if (!service) return 1;
  static BYTE buffer[8192];
  DWORD needed = 0;
  SERVICE_FAILURE_ACTIONS_FLAG flag = {0};
  if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer,
                            &needed)) {
    fwprintf(stderr, L"failure actions: error %lu\n", GetLastError());
    return 1;
  }
  const SERVICE_FAILURE_ACTIONSW* failure = (const SERVICE_FAILURE_ACTIONSW*)buffer;
  wprintf(L"%ls: reset %lu s;", argv[1], failure->dwResetPeriod);
  for (DWORD i = 0; i < failure->cActions; ++i)
    wprintf(L" %ls %lu ms;",
            failure->lpsaActions[i].Type == SC_ACTION_RESTART ? L"restart" : L"other",
            failure->lpsaActions[i].Delay);
  if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, (BYTE*)&flag, sizeof flag,
                            &needed)) {
    fwprintf(stderr, L"failure-actions flag: error %lu\n", GetLastError());
    return 1;
  }
  wprintf(L" flag %d\n", flag.fFailureActionsOnNonCrashFailures);
  return 0;
}
