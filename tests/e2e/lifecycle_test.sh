#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The product's whole life through the commands that the package scripts and the service
# manager run, on the init system the sandbox shows:
#   - install version 1 from the unpacked package and start the service;
#   - install version 2 while 1 runs: the install restarts the service, and that start
#     completes the upgrade, so 2 runs and 1 is gone;
#   - install a version 3 whose watchdog server cannot start: the restart rolls back to 2,
#     which keeps running;
#   - uninstall: the product stops and leaves the system.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
require_sandbox
require_real_tools groupadd groupdel

init=$(init_system)
BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' -- "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
# Where the package manager unpacks the package's files.
UNPACKED=$E2E_TARN_VAR/install_$BUILD_VERSION
readonly BUILD_VERSION UNPACKED

# Lays the package of VERSION where the package manager unpacks it, in place of the last.
unpack() {
  rm -rf -- "$UNPACKED"
  lay_patch "${UNPACKED##*/}" "$1"
}

# Runs the unpacked package's launcher with ARG..., as the package scripts do.
package_script() {
  local launcher=$LAUNCHER
  LAUNCHER=$UNPACKED/opt/brevantis/tarn/libexec/launcher
  run_launcher "$@"
  LAUNCHER=$launcher
}

# The patch directory that the install of TAG makes.
patch_of() {
  printf '%s/%s_%s' "$E2E_TARN_VAR" "$BUILD_VERSION" "$1"
}



# Under systemd: how long the unit's last start took (from leaving "inactive" to "active"),
# in milliseconds, said on stderr for the record of the chain's start time.
report_start_time() {
  local what=$1 left entered
  [[ $init == systemd ]] || return 0
  left=$(systemctl show -p InactiveExitTimestampMonotonic --value tarn)
  entered=$(systemctl show -p ActiveEnterTimestampMonotonic --value tarn)
  printf '%s: the start of %s took %s ms\n' "$E2E_CASE" "$what" $(((entered - left) / 1000)) >&2
}

group_count() {
  grep -cE "^(tarnadmin|tarnuser|tarnaudit|notarn):" /etc/group || true
}

use_service_manager

# ---- Version 1: a first install registers the service; the service manager starts it.
unpack 12.6.0.1
package_script --install 1
expect_status 0
expect_eq "current=$(patch_of 1) upgrade=- previous=- failed=-" "$(links)" "links after installing 1"
expect_eq 4 "$(group_count)" "product groups after the first install"
if [[ $init == systemd ]]; then
  [[ -f $SERVICE_UNIT && -L $SERVICE_WANTS ]] || fail "the first install did not install and enable the unit"
  systemctl start tarn
else
  expect_eq "$E2E_CURRENT_LINK/etc/init.d/tarn" "$(readlink /etc/init.d/tarn)" "the init script link"
  [[ -L /etc/rc2.d/S01tarn ]] || fail "the first install did not enable the init script"
  service tarn start
fi
expect_eq "$(patch_of 1)" "$(running_patch)" "the running patch after the start"
if [[ $init == systemd ]]; then
  expect_eq "$(<"$E2E_WDSERVER_PIDFILE")" "$(systemctl show -p MainPID --value tarn)" "the unit's main process"
fi

# ---- Version 2 over the running version 1: the install's restart completes the upgrade.
unpack 12.6.0.2
package_script --install 2
expect_status 0
expect_contains "Product restarted successfully" "$E2E_TRACE_FILE"
expect_eq "current=$(patch_of 2) upgrade=- previous=- failed=-" "$(links)" "links after installing 2"
[[ ! -e $(patch_of 1) ]] || fail "the tree of version 1 is left after the upgrade"
expect_eq "$(patch_of 2)" "$(running_patch)" "the running patch after the upgrade"
report_start_time "the upgrade chain"

# ---- Version 3, whose watchdog server fails: rolled back to version 2, which runs on.
unpack 12.6.0.3
break_wdserver "$UNPACKED" "the watchdog server of version 3 cannot start"
package_script --install 3
expect_status 0
expect_eq "current=$(patch_of 2) upgrade=$(patch_of 3) previous=- failed=$(patch_of 3)" "$(links)" \
  "links after installing 3"
expect_contains "Upgrade state changed RollingBack -> RolledBack" "$E2E_TRACE_FILE"
expect_contains "the watchdog server of version 3 cannot start" "$E2E_TRACE_FILE"
# Not silent: the package manager's output and the trace name both versions.
rollback="the upgrade to version 12.6.0.3 failed to start and was rolled back; version 12.6.0.2 runs."
# Once: the restart's own console went to the service manager (the journal or the trace).
expect_console_warning "$rollback" "$OUT"
expect_contains "RollingBack: T${rollback#t}" "$E2E_TRACE_FILE"
expect_contains "SynchronousRestart: T${rollback#t}" "$E2E_TRACE_FILE"
if [[ $init == systemd ]]; then
  # The start that rolled back told the journal: one entry at warning priority, without
  # colour escapes, which is what "journalctl -u tarn -p warning" shows an administrator.
  wait_until "the rollback warning in the journal" journal_has warning "Warning: $rollback"
  not grep -q $'\e' "$E2E_SCRATCH/journal" || fail "escapes in the journal: $(cat -v "$E2E_SCRATCH/journal")"
  report_start_time "the chain that rolled back"
fi
expect_eq "$(patch_of 2)" "$(running_patch)" "the running patch after the rollback"
server=$(<"$E2E_WDSERVER_PIDFILE")

# ---- Uninstall, as the package's removal script runs it.
package_script --uninstall
expect_status 0
# The service manager stopped what it started.
expect_not_contains "Product still runs" "$E2E_TRACE_FILE"
[[ ! -e /proc/$server ]] || fail "the watchdog server $server still runs after the uninstall"
run_launcher --status
expect_status 3
expect_eq 0 "$(group_count)" "product groups after the uninstall"
if [[ $init == systemd ]]; then
  [[ ! -e $SERVICE_UNIT && ! -L $SERVICE_WANTS ]] || fail "the unit or its wants link is left"
else
  [[ ! -L /etc/init.d/tarn ]] || fail "/etc/init.d/tarn is left"
  expect_eq "" "$(find /etc/rc?.d -name '*tarn')" "boot links after the uninstall"
fi
