# On a Windows host, as administrator: installs a BrumoVPN release package, checks that the
# service runs with its recovery actions and that brumoctl answers, with -Tunnel runs a
# tunnel, installs the same package again (the service must run on in its process),
# uninstalls it and checks that neither the service, nor its folder, nor the Wintun driver
# is left. Throws on the first fault.
#   ./packaging/check-install.ps1 BrumoVPN-<version>-x64.msi [log prefix] [-Tunnel]
# (a wildcard is taken). -Tunnel only on a machine of one's own: while the tunnel runs, the
# default route and DNS go to an adapter whose proxy (127.0.0.1:12735) is not there, and
# outbound DNS is blocked outside it, so a CI runner would lose its own connection.
param([Parameter(Mandatory)] [string] $Msi, [string] $Log = 'install', [switch] $Tunnel)
$ErrorActionPreference = 'Stop'
$Msi = (Resolve-Path $Msi).Path
$dir = "$env:ProgramFiles\BrumoVPN"
$rc = (Start-Process msiexec "/i `"$Msi`" /qn /l*v $Log.log" -Wait -PassThru).ExitCode
if ($rc) { Get-Content "$Log.log" -Tail 40; throw "install: exit $rc" }
if ((Get-Service BrumoVPN).Status -ne 'Running') { throw 'BrumoVPN is not running' }
$failure = sc.exe qfailure BrumoVPN | Out-String
$failure
$delays = ([regex]::Matches($failure, 'RESTART -- Delay = (\d+)') | ForEach-Object { $_.Groups[1].Value }) -join ' '
if ($failure -notmatch 'RESET_PERIOD \(in seconds\)\s*: 86400' -or $delays -ne '5000 5000 60000') {
  throw 'the recovery actions are not: restart after 5 s, 5 s, 60 s, reset after a day'
}
if ((sc.exe qfailureflag BrumoVPN | Out-String) -notmatch 'NONCRASH_FAILURES\s*:\s*TRUE') { throw 'no failure-actions flag' }
$active = & "$dir\brumoctl.exe" active
if ($active -ne '{"message":"inactive","running":false,"status":"ok"}') { throw "brumoctl active: $active" }
# A tunnel run makes wintun.dll put its driver in the driver store (shown, not required:
# the machine may lack what the tunnel needs). Without one the driver check below holds
# trivially.
if ($Tunnel) {
  & "$dir\brumoctl.exe" start
  & "$dir\brumoctl.exe" stop
}
# The same package again changes nothing: the service must still run, in the same process.
$before = (Get-CimInstance Win32_Service -Filter "Name='BrumoVPN'").ProcessId
$rc = (Start-Process msiexec "/i `"$Msi`" /qn /l*v $Log-again.log" -Wait -PassThru).ExitCode
if ($rc) { Get-Content "$Log-again.log" -Tail 40; throw "the same package again: exit $rc" }
$after = Get-CimInstance Win32_Service -Filter "Name='BrumoVPN'"
if ($after.State -ne 'Running' -or $after.ProcessId -ne $before) {
  throw "after the same package again the service is $($after.State) in process $($after.ProcessId), was $before"
}
$rc = (Start-Process msiexec "/x `"$Msi`" /qn /l*v $Log-uninstall.log" -Wait -PassThru).ExitCode
if ($rc) { Get-Content "$Log-uninstall.log" -Tail 40; throw "uninstall: exit $rc" }
if (Get-Service BrumoVPN -ErrorAction SilentlyContinue) { throw 'the service is left' }
if (Test-Path $dir) { throw "$dir is left" }
# The uninstall asked wintun.dll to delete its driver, which no adapter used any more.
$wintun = pnputil /enum-drivers | Out-String
if ($wintun -match '(?m)Original Name:\s*wintun\.inf') { throw 'the Wintun driver is left in the driver store' }
