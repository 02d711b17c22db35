#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The shipped init script on a SysV system, driven by the real update-rc.d and service:
# its header registers it for the boot run levels, its actions answer with the LSB codes
# through the launcher of the active patch, and a watchdog server that was killed leaves no
# product process behind once the script stopped it.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

[[ $LAUNCHER_SANDBOX_INIT == sysv ]] || fail "run this test in a sandbox with --init sysv"
for tool in update-rc.d service; do
  [[ -x $LAUNCHER_SANDBOX/real/$tool ]] || skip "the sandbox has no real $tool"
done
SCRIPT=$(realpath -e -- "$(dirname "${BASH_SOURCE[0]}")/../../dist/tarn")
readonly SCRIPT
readonly LINKS=(/etc/rc0.d/K01tarn /etc/rc1.d/K01tarn /etc/rc2.d/S01tarn /etc/rc3.d/S01tarn
  /etc/rc4.d/S01tarn /etc/rc5.d/S01tarn /etc/rc6.d/K01tarn)

# Prints the exit status of "service tarn ARG..." (124 when it runs for a minute).
service_status() {
  local status=0
  timeout 60 service tarn "$@" >"$E2E_SCRATCH/service.out" 2>&1 || status=$?
  printf '%s' "$status"
}

boot_links() {
  local link
  for link in /etc/rc?.d/[SK]??tarn; do
    [[ -L $link ]] && printf '%s -> %s\n' "$link" "$(readlink "$link")"
  done
  return 0
}

install -m 0755 -- "$SCRIPT" /etc/init.d/tarn

# Registration, both as packages do it and as the launcher's enabler does.
clear_calls
update-rc.d tarn defaults
expect_eq "$(printf '%s -> ../init.d/tarn\n' "${LINKS[@]}")" "$(boot_links)" "boot links"
update-rc.d -f tarn remove
expect_eq "" "$(boot_links)" "boot links after the removal"
update-rc.d tarn start 50 2 3 4 5 . stop 30 0 1 6 . 2>"$E2E_SCRATCH/update-rc.d.err"
expect_eq "$(printf '%s -> ../init.d/tarn\n' "${LINKS[@]}")" "$(boot_links)" \
  "boot links from the enabler's command line"
expect_contains $'update-rc.d tarn defaults\n' "$LAUNCHER_SANDBOX/calls"

# Without an installed product: the state is unknown, nothing is left to stop, and
# nothing can start.
expect_eq 4 "$(service_status status)" "status without a product"
expect_contains "install-current/opt/brevantis/tarn/libexec/launcher is missing" \
  "$E2E_SCRATCH/service.out"
expect_eq 0 "$(service_status stop)" "stop without a product"
expect_eq 5 "$(service_status start)" "start without a product"
expect_eq 2 "$(service_status bogus)" "an unknown action"
expect_contains "usage:" "$E2E_SCRATCH/service.out"

# Installed: the launcher of the active patch answers.
lay_current_patch patch_a
install -m 0755 -- "$LAUNCHER" "$PATCH_DIR/opt/brevantis/tarn/libexec/launcher"
expect_eq 3 "$(service_status status)" "status of a stopped product"
start_fake_wdserver "$E2E_CURRENT_LINK"
expect_eq 0 "$(service_status status)" "status of a running product"
expect_contains $'service tarn status\n' "$LAUNCHER_SANDBOX/calls"
kill "$WDSERVER_PID"
rm -f -- "$E2E_WDSERVER_PIDFILE"

# ---- The product's own programs (the stand-ins of the built patch tree).
rm -rf -- "$E2E_TARN_VAR"
install_product b 12.6.0.118
# The pids of the processes that run a program of patch b.
product_processes() {
  local process pids=()
  for process in /proc/[0-9]*; do
    [[ $(readlink "$process/exe" 2>/dev/null) == "$E2E_TARN_VAR/b/"* ]] && pids+=("${process#/proc/}")
  done
  printf '%s' "${pids[*]}"
}

# Server, starter and product: the starter starts the product on its own time.
count_is() {
  [[ $(wc -w <<<"$(product_processes)") == "$1" ]]
}
expect_one_set() {
  wait_until "$1" count_is 3
}
expect_eq 3 "$(service_status status)" "status of a stopped product"
expect_eq 0 "$(service_status try-restart)" "try-restart of a stopped product"
expect_eq "" "$(product_processes)" "processes after try-restart of a stopped product"
expect_eq 3 "$(service_status reload)" "reload, which the product does not implement"
expect_eq 0 "$(service_status start)" "start"
expect_contains "Starting Brevantis Endpoint Security: tarn" "$E2E_SCRATCH/service.out"
expect_one_set "server, starter and product after the start"
server=$(<"$E2E_WDSERVER_PIDFILE")
expect_eq 0 "$(service_status force-reload)" "force-reload of a running product"
[[ $(<"$E2E_WDSERVER_PIDFILE") != "$server" ]] || fail "force-reload did not restart the server"
expect_one_set "server, starter and product after force-reload"

# The watchdog server killed: its pid file stays, the programs it started run on.
server=$(<"$E2E_WDSERVER_PIDFILE")
kill -KILL "$server"
wait_until "the killed server's end" not test -e "/proc/$server"
expect_eq 1 "$(service_status status)" "status with a pid file but no server"
expect_eq 2 "$(wc -w <<<"$(product_processes)")" "what the killed server left running"
expect_eq 0 "$(service_status stop)" "stop after the server was killed"
expect_eq "" "$(product_processes)" "processes after the stop"
expect_eq 3 "$(service_status status)" "status after the stop"
expect_eq 0 "$(service_status start)" "start after the stop"
expect_one_set "one set of processes after the start"
sleep 0.2
expect_eq 3 "$(wc -w <<<"$(product_processes)")" "processes a moment after the start"

# Killed again, then started without a stop: still one set.
server=$(<"$E2E_WDSERVER_PIDFILE")
kill -KILL "$server"
wait_until "the killed server's end" not test -e "/proc/$server"
expect_eq 0 "$(service_status start)" "start after the server was killed"
expect_one_set "one set of processes after the second start"
sleep 0.2
expect_eq 3 "$(wc -w <<<"$(product_processes)")" "processes a moment after the second start"
expect_eq 0 "$(service_status stop)" "stop"
expect_eq "" "$(product_processes)" "processes after the last stop"

# A watchdog server that ignores SIGTERM holds the stop only for STOP_TIMEOUT seconds
# (/etc/default/tarn): then it is killed with what it started.
printf 'STOP_TIMEOUT=1\n' >/etc/default/tarn
at_exit rm -f -- /etc/default/tarn
expect_eq 0 "$(service_status start)" "start of a server that will hang"
expect_one_set "server, starter and product before the hang"
server=$(<"$E2E_WDSERVER_PIDFILE")
hang=$PATCH_DIR/opt/brevantis/tarn/libexec/wdserver.hang
touch -- "$hang"
started=$SECONDS
expect_eq 0 "$(service_status stop)" "stop of a server that ignores SIGTERM"
(((SECONDS - started) < 15)) || fail "the stop of the hung server took $((SECONDS - started)) s"
expect_contains "the watchdog server $server did not stop within 1 s; killing it" "$E2E_SCRATCH/service.out"
expect_eq "" "$(product_processes)" "processes after the hung server's stop"
[[ ! -e $E2E_WDSERVER_PIDFILE ]] || fail "the killed server's pid file is left"
rm -f -- "$hang" /etc/default/tarn

# A watchdog server of another patch that the pid file names (the patch before an upgrade,
# started by hand) runs: it is no dead server whose leftovers a stop ends.
start_fake_wdserver "$E2E_TARN_VAR/other"
other=$WDSERVER_PID
expect_eq 0 "$(service_status stop)" "stop while another patch's server runs"
expect_contains "names the watchdog server $other of another patch; leaving it running" "$E2E_SCRATCH/service.out"
readlink "/proc/$other/exe" >/dev/null || fail "the stop killed the server $other of another patch"
kill "$other"
rm -f -- "$E2E_WDSERVER_PIDFILE"

# A server that not even SIGKILL ends (a process stuck in the kernel; here the sandbox's
# PID 1, which ignores it) fails the stop after KILL_WAIT rather than holding it for ever,
# and the launcher's stop that waits for it is ended too.
launcher=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher
mv -- "$launcher" "$launcher.real"
cat >"$launcher" <<'SCRIPT'
#!/bin/sh
case $1 in
  --status) exit 0 ;;
  --stop) exec sleep 86399 ;;
esac
exit 1
SCRIPT
chmod 0755 -- "$launcher"
printf '1\n' >"$E2E_WDSERVER_PIDFILE"
printf 'STOP_TIMEOUT=1\n' >/etc/default/tarn
expect_eq 1 "$(service_status stop)" "stop of a server that outlives SIGKILL"
expect_contains "the watchdog server 1 still runs 5 s after SIGKILL" "$E2E_SCRATCH/service.out"
not pgrep -x -f "sleep 86399" >/dev/null || fail "the launcher's stop was left waiting"
mv -f -- "$launcher.real" "$launcher"
rm -f -- "$E2E_WDSERVER_PIDFILE" /etc/default/tarn

# Without the LSB functions (a system without /lib/lsb/init-functions): the same answers,
# in plain lines.
lsb_functions=$(realpath -e /lib/lsb/init-functions)
mv -- "$lsb_functions" "$E2E_SCRATCH/init-functions"
at_exit mv -- "$E2E_SCRATCH/init-functions" "$lsb_functions"
expect_eq 3 "$(service_status status)" "status without the LSB functions"
expect_file_eq $'tarn is not running\n' "$E2E_SCRATCH/service.out"
expect_eq 0 "$(service_status start)" "start without the LSB functions"
expect_file_eq $'Starting Brevantis Endpoint Security: tarn.\n' "$E2E_SCRATCH/service.out"
expect_one_set "server, starter and product without the LSB functions"
expect_eq 0 "$(service_status stop)" "stop without the LSB functions"
expect_file_eq $'Stopping Brevantis Endpoint Security: tarn.\n' "$E2E_SCRATCH/service.out"
expect_eq 3 "$(service_status reload)" "reload without the LSB functions"
expect_file_eq $'tarn: reload is not supported; use force-reload or restart\n' "$E2E_SCRATCH/service.out"
