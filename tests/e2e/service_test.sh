#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The product as the real systemd runs it (the sandbox's systemd flavour): the unit that the
# install lays and enables, the watchdog server as the unit's main process, "status"
# agreeing with the service manager, a stop that leaves nothing of the product in the
# unit's cgroup and is not held up by a slow integrity check, a restart, the server's death
# (the unit restarts the product), a product started by hand that a start of the unit adopts
# rather than doubles, an administrator's mask kept by an upgrade, and an uninstall that a
# server ignoring SIGTERM holds only for the unit's stop timeout.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
require_sandbox
[[ ${LAUNCHER_SANDBOX_FLAVOUR:-} == systemd ]] || fail "run this test with --init systemd"

BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
readonly BUILD_VERSION
readonly UNPACKED=$E2E_TARN_VAR/install_$BUILD_VERSION

unpack_build() {
  rm -rf -- "$UNPACKED"
  mkdir -p -- "$E2E_TARN_VAR"
  cp -a -- "$LAUNCHER_PATCH_TREE" "$UNPACKED"
}

# The unit's property NAME.
unit() {
  systemctl show -p "$1" --value tarn
}

# The unit's state: active, inactive, activating...
unit_state() {
  systemctl is-active tarn || true
}

unit_is_active() {
  [[ $(unit_state) == active ]]
}

# The unit no longer runs the server PID as its active main process.
unit_left() {
  [[ "$(unit_state)-$(unit MainPID)" != "active-$1" ]]
}

# The pids of the processes in the unit's cgroup.
unit_processes() {
  local cgroup
  cgroup=$(unit ControlGroup)
  [[ -n $cgroup && -f /sys/fs/cgroup$cgroup/cgroup.procs ]] || return 0
  paste -s -d ' ' "/sys/fs/cgroup$cgroup/cgroup.procs"
}

# The pids of the processes that run the product's watchdog server.
servers() {
  local process pids=()
  for process in /proc/[0-9]*; do
    [[ $(readlink "$process/exe" 2>/dev/null) == */opt/brevantis/tarn/libexec/wdserver ]] &&
      pids+=("${process#/proc/}")
  done
  printf '%s' "${pids[*]}"
}

# The service runs: active, with the pid file's server as its main process, as "status"
# says too, and with one watchdog server on the machine.
expect_service_running() {
  local what=$1
  expect_eq active "$(unit_state)" "the unit's state $what"
  expect_eq "$(<"$E2E_WDSERVER_PIDFILE")" "$(unit MainPID)" "the unit's main process $what"
  run_launcher --status
  expect_status 0
  expect_eq "$(<"$E2E_WDSERVER_PIDFILE")" "$(servers)" "the watchdog servers $what"
}

expect_service_stopped() {
  local what=$1
  expect_eq inactive "$(unit_state)" "the unit's state $what"
  expect_eq "" "$(unit_processes)" "processes in the unit's cgroup $what"
  expect_eq "" "$(servers)" "the watchdog servers $what"
  run_launcher --status
  expect_status 3
}

# ---- The first install lays the unit, reloads the service manager and enables the unit.
unpack_build
clear_calls
LAUNCHER=$UNPACKED/opt/brevantis/tarn/libexec/launcher run_launcher --install t1
expect_status 0
expect_contains "systemctl daemon-reload" "$LAUNCHER_SANDBOX/calls"
expect_eq enabled "$(systemctl is-enabled tarn)" "the unit after the first install"
expect_eq "$SERVICE_UNIT" "$(unit FragmentPath)" "the unit's file"

# ---- Start, stop, restart through the service manager.
systemctl start tarn
expect_service_running "after the start"
systemctl stop tarn
expect_service_stopped "after the stop"
systemctl start tarn
server=$(unit MainPID)
systemctl restart tarn
expect_service_running "after the restart"
[[ $(unit MainPID) != "$server" ]] || fail "the restart kept the server $server"

# ---- A slow integrity check, which the start forked into the unit's cgroup and never
# waits for, does not hold the stop up: the unit's stop ends it.
systemctl stop tarn
checker=$E2E_CURRENT_LINK/opt/brevantis/tarn/bin/integrity_checker
mv -- "$checker" "$checker.real"
printf '#!/bin/sh\ntrap "" TERM\nsleep 600\n' >"$checker"
chmod 0755 -- "$checker"
systemctl start tarn
wait_until "the slow integrity check" pgrep -f "bin/integrity_checker --signature-type"
SECONDS=0
systemctl stop tarn
((SECONDS < 10)) || fail "the stop took $SECONDS s with a slow integrity check running"
expect_service_stopped "after a stop with a slow integrity check"
not pgrep -f "bin/integrity_checker --signature-type" >/dev/null
mv -f -- "$checker.real" "$checker"

# ---- The watchdog server dies: the unit fails, its cgroup is emptied, and the service
# manager starts the product again (Restart=on-failure).
systemctl start tarn
server=$(unit MainPID)
kill -KILL "$server"
wait_until "the unit's failure after the server's death" unit_left "$server"
wait_until "the product's new start" unit_is_active
expect_service_running "after the server's death"
expect_eq 1 "$(unit NRestarts)" "restarts of the unit"

# ---- A product started by hand: starting the unit adopts it ("already running" is no
# failure), never a second one; the unit's stop then stops it.
systemctl stop tarn
run_launcher
expect_status 0
server=$(<"$E2E_WDSERVER_PIDFILE")
systemctl start tarn
expect_service_running "after starting the unit over a product started by hand"
expect_eq "$server" "$(unit MainPID)" "the adopted server"
expect_eq success "$(unit Result)" "the unit's result"
expect_eq 0 "$(unit NRestarts)" "restarts of the unit"
systemctl stop tarn
[[ ! -e /proc/$server ]] || fail "the unit's stop left the adopted server $server running"
expect_service_stopped "after stopping the adopted product"

# ---- A start that fails tells the journal at error priority: its error is one entry,
# without escapes, which "journalctl -u tarn -p err" shows.
break_wdserver "$E2E_CURRENT_LINK" "the watchdog server cannot start"
not systemctl start tarn
wait_until "the failed start's error in the journal" \
  journal_matches err '^Error: .*failed with exit code [0-9]+'
not grep -q $'\e' "$E2E_SCRATCH/journal" || fail "escapes in the journal: $(cat -v "$E2E_SCRATCH/journal")"
# The service manager would try again (Restart=on-failure): stopped before it does.
rm -f -- "$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/wdserver.fail"
systemctl stop tarn
systemctl reset-failed tarn

# ---- An administrator's mask survives an upgrade, which neither enables nor starts it.
systemctl mask tarn
unpack_build
clear_calls
LAUNCHER=$UNPACKED/opt/brevantis/tarn/libexec/launcher run_launcher --install t2
expect_status 0
expect_eq masked "$(systemctl is-enabled tarn || true)" "the unit after the upgrade"
expect_not_contains "systemctl enable" "$LAUNCHER_SANDBOX/calls"
expect_eq inactive "$(unit_state)" "the masked unit's state"

# ---- A watchdog server that ignores SIGTERM holds the unit's stop, and so the uninstall
# that asks for it, only for the unit's stop timeout (5 min; 2 s in a drop-in here): the
# service manager then kills what is left in the unit's cgroup, and the uninstall goes on.
systemctl unmask tarn
mkdir -p /etc/systemd/system/tarn.service.d
printf '[Service]\nTimeoutStopSec=2s\n' >/etc/systemd/system/tarn.service.d/stop-timeout.conf
systemctl daemon-reload
systemctl start tarn
expect_service_running "before the server hangs"
server=$(unit MainPID)
touch -- "$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/wdserver.hang"
SECONDS=0
LAUNCHER=$UNPACKED/opt/brevantis/tarn/libexec/launcher run_launcher_within 60 --uninstall
expect_status 0
((SECONDS < 30)) || fail "the uninstall of a hung server took $SECONDS s"
[[ ! -e /proc/$server ]] || fail "the hung server $server outlived the uninstall"
expect_eq "" "$(for process in /proc/[0-9]*; do readlink "$process/exe"; done 2>/dev/null |
  grep -F "$E2E_TARN_VAR/" || true)" "the product's processes after the uninstall"
