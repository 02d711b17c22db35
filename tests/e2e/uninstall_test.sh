#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Uninstall of a running, registered product on the init system the sandbox shows, with the
# sandbox's real groupadd/groupdel, iptables/ip6tables and (on SysV) service/update-rc.d:
# every step runs in its order, the product stops (also where systemd did not start it),
# its service registration, groups, packet-filter chains, links and legacy kernel modules
# are gone while another program's chains stay. A second uninstall, with the product started again by hand, stops it
# without the service manager and succeeds. A failing uninstall script and a missing
# packet-filter tool end the command with an error; the steps before them stay done.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
require_sandbox

init=$(init_system)
require_real_tools groupadd groupdel iptables ip6tables

readonly GROUPS_=(tarnadmin tarnuser tarnaudit notarn)
readonly SETUP_LINK=/usr/bin/tarn-setup
MODULES=/lib/modules/$(uname -r)/misc
readonly MODULES


# The product's chains in both packet filters, with every jump that the product makes
# (two from mangle OUTPUT into tarn_bypass); with "other", first a chain of another program
# in each table, one of its jumps between the product's two.
create_chains() {
  local other=${1:-} tool pair
  for tool in iptables ip6tables; do
    "$tool" -t mangle -N tarn_bypass
    "$tool" -t mangle -A tarn_bypass -j ACCEPT
    "$tool" -t mangle -A PREROUTING -j tarn_bypass
    "$tool" -t mangle -A OUTPUT -j tarn_bypass
    if [[ $other == other ]]; then
      "$tool" -t mangle -N other_mark
      "$tool" -t mangle -A OUTPUT -j other_mark
      "$tool" -t filter -N other_guard
      "$tool" -t filter -A other_guard -j RETURN
      "$tool" -t filter -A INPUT -j other_guard
    fi
    "$tool" -t mangle -A OUTPUT -j tarn_bypass
    for pair in INPUT:tarn_input_isolation OUTPUT:tarn_output_isolation FORWARD:tarn_forward_isolation; do
      "$tool" -t filter -N "${pair#*:}"
      "$tool" -t filter -A "${pair#*:}" -j RETURN
      "$tool" -t filter -A "${pair%%:*}" -j "${pair#*:}"
    done
  done
}

# The rules of both tables of TOOL after the uninstall: only the other program's.
expect_only_other_chains() {
  local tool=$1
  expect_eq "$(printf '%s\n' '-P PREROUTING ACCEPT' '-P INPUT ACCEPT' '-P FORWARD ACCEPT' \
    '-P OUTPUT ACCEPT' '-P POSTROUTING ACCEPT' '-N other_mark' '-A OUTPUT -j other_mark')" \
    "$("$tool" -t mangle -S)" "$tool mangle rules"
  expect_eq "$(printf '%s\n' '-P INPUT ACCEPT' '-P FORWARD ACCEPT' '-P OUTPUT ACCEPT' \
    '-N other_guard' '-A INPUT -j other_guard' '-A other_guard -j RETURN')" \
    "$("$tool" -t filter -S)" "$tool filter rules"
}

# The commands that the last uninstall ran, and the files it removed, in their order:
# program names without their directories; the package queries of the agent left out.
# Only its own trace lines count: the integrity checks of a start and the service's stop
# trace into the same file.
run_steps() {
  local pid
  pid=$(sed -n 's/^[^ ]* [^ ]* \([0-9]*\) DBG operator(): Mode: .*/\1/p' -- "$E2E_TRACE_FILE")
  [[ $pid =~ ^[0-9]+$ ]] || fail "no single uninstall run in $E2E_TRACE_FILE"
  awk -v pid="$pid" '$3 == pid' "$E2E_TRACE_FILE" |
    sed -n -e "s/.* Running '\([^']*\)' \.\.\.$/\1/p" -e 's/.* Remove: \(.*\) removed$/removed \1/p' |
    sed -e 's|^/[^ ]*/||' | grep -v '^dpkg-query ' || true
}

# The packet-filter runs of one uninstall, with JUMPS (0 or 1) times the product's jumps
# present: listings, jumps deleted, chains emptied and deleted.
firewall_steps() {
  local jumps=$1 tool pair i
  for tool in iptables ip6tables; do
    echo "$tool -t mangle -L PREROUTING --line-numbers -n"
    ((jumps == 0)) || echo "$tool -t mangle -D PREROUTING -j tarn_bypass"
    echo "$tool -t mangle -L OUTPUT --line-numbers -n"
    for ((i = 0; i < 2 * jumps; i++)); do echo "$tool -t mangle -D OUTPUT -j tarn_bypass"; done
    echo "$tool -t mangle -F tarn_bypass"
    echo "$tool -t mangle -X tarn_bypass"
    for pair in INPUT:tarn_input_isolation OUTPUT:tarn_output_isolation FORWARD:tarn_forward_isolation; do
      echo "$tool -t filter -L ${pair%%:*} --line-numbers -n"
      ((jumps == 0)) || echo "$tool -t filter -D ${pair%%:*} -j ${pair#*:}"
      echo "$tool -t filter -F ${pair#*:}"
      echo "$tool -t filter -X ${pair#*:}"
    done
  done
}

# The console error of the last run (its lines joined) ends with TEXT.
expect_error() {
  local text
  text=$(tr '\n' ' ' <"$ERR")
  [[ $text == *"$1"$' \e[0m '* ]] || fail "the error does not end with \"$1\": $text"
}

group_lines() {
  grep -E "^(tarnadmin|tarnuser|tarnaudit|notarn):" /etc/group || true
}

wdserver_pid() {
  local pid
  pid=$(<"$E2E_WDSERVER_PIDFILE")
  [[ -e /proc/$pid ]] || fail "the watchdog server $pid does not run"
  printf '%s' "$pid"
}

# ---- A running product, installed and registered as the install command leaves it.
install_product a 12.6.0.118
install_agent
for group in "${GROUPS_[@]}"; do groupadd -rf "$group"; done
expect_eq 4 "$(group_lines | wc -l)" "product groups before the uninstall"
create_chains other
"$PATCH_DIR/opt/brevantis/tarn/libexec/symlinks" install "$E2E_CURRENT_LINK"
mkdir -p -- "$MODULES"
touch -- "$MODULES/redirfs.ko" "$MODULES/obx4fs_oas.ko" "$MODULES/other.ko"
use_service_manager
if [[ $init == systemd ]]; then
  install -m 0644 -- "$PATCH_DIR/opt/brevantis/tarn/shared/tarn.service" "$SERVICE_UNIT"
  systemctl enable tarn
  service_steps=("systemctl show -p FragmentPath multi-user.target" "systemctl stop tarn"
    "systemctl is-enabled tarn" "systemctl disable tarn" "removed $SERVICE_UNIT"
    "systemctl daemon-reload")
  agent_restart="systemctl try-restart qvnagent64"
else
  ln -s -- "$E2E_CURRENT_LINK/etc/init.d/tarn" /etc/init.d/tarn
  update-rc.d tarn start 50 2 3 4 5 . stop 30 0 1 6 . 2>/dev/null
  [[ -L /etc/rc2.d/S01tarn ]] || fail "update-rc.d did not register the init script"
  service_steps=("service tarn stop" "update-rc.d -f tarn remove" "removed /etc/init.d/tarn")
  # The real service tool knows no agent here: the failed restart is only traced.
  agent_restart="service qvnagent64 restart"
fi
# Started by hand: the init script stops it all the same, systemd does not know it.
run_launcher
expect_status 0
server=$(wdserver_pid)

# ---- Uninstall.
: >"$E2E_TRACE_FILE"
run_launcher --uninstall
expect_status 0
expect_file_eq "" "$OUT"
expect_file_eq "" "$ERR"
expect_contains "operator(): Mode: Uninstall" "$E2E_TRACE_FILE"
if [[ $init == systemd ]]; then
  expect_contains "StopService: Product still runs; stopping it directly ..." "$E2E_TRACE_FILE"
else
  expect_not_contains "Product still runs" "$E2E_TRACE_FILE"
fi
expect_eq "$(
  echo "cert-manager --remove-all"
  printf '%s\n' "${service_steps[@]}"
  firewall_steps 1
  echo "symlinks uninstall $E2E_CURRENT_LINK"
  echo "removed $MODULES/obx4fs_oas.ko"
  echo "removed $MODULES/redirfs.ko"
  echo "$agent_restart"
  printf 'groupdel %s\n' "${GROUPS_[@]}"
)" "$(run_steps)" "steps of the uninstall"
expect_contains "RemoveTarnBypassFirewallChain: Found 2 rules in OUTPUT for tarn_bypass" "$E2E_TRACE_FILE"

[[ ! -e /proc/$server ]] || fail "the watchdog server $server still runs after the uninstall"
run_launcher --status
expect_status 3
expect_eq "" "$(group_lines)" "product groups after the uninstall"
expect_only_other_chains iptables
expect_only_other_chains ip6tables
for link in "$SETUP_LINK" /opt/brevantis/tarn; do
  [[ ! -e $link && ! -L $link ]] || fail "the patch's link $link is left"
done
[[ -f $MODULES/other.ko ]] || fail "a kernel module of another program was removed"
if [[ $init == systemd ]]; then
  [[ ! -e $SERVICE_UNIT && ! -L $SERVICE_WANTS ]] || fail "the unit file or its wants link is left"
else
  [[ ! -e /etc/init.d/tarn && ! -L /etc/init.d/tarn ]] || fail "/etc/init.d/tarn is left"
  expect_eq "" "$(find /etc/rc?.d -name '*tarn')" "boot links after the uninstall"
fi

# ---- Again, with the product started by hand since: the service manager no longer knows
# it, so the product is stopped directly; every missing group and chain is only traced,
# and so is a live ini that an administrator broke since. (Uninstall wins over start on
# the command line.)
run_launcher
expect_status 0
server=$(wdserver_pid)
cp -- "$E2E_TARN_VAR/common/tarn.ini" "$E2E_SCRATCH/tarn.ini"
printf '[Watchdog\n' >>"$E2E_TARN_VAR/common/tarn.ini"
: >"$E2E_TRACE_FILE"
run_launcher --start --uninstall
expect_status 0
[[ ! -e /proc/$server ]] || fail "the second uninstall left the watchdog server $server running"
expect_contains "ERR StopService: $E2E_TARN_VAR/common/tarn.ini" "$E2E_TRACE_FILE"
cp -- "$E2E_SCRATCH/tarn.ini" "$E2E_TARN_VAR/common/tarn.ini"
expect_contains "StopService: Service tarn is not registered" "$E2E_TRACE_FILE"
expect_contains "StopService: Product still runs; stopping it directly ..." "$E2E_TRACE_FILE"
expect_contains "ERR '/usr/sbin/groupdel notarn' failed with exit code 6" "$E2E_TRACE_FILE"
expect_eq "$(
  echo "cert-manager --remove-all"
  [[ $init == sysv ]] || printf '%s\n' "systemctl show -p FragmentPath multi-user.target" \
    "systemctl daemon-reload"
  firewall_steps 0
  echo "symlinks uninstall $E2E_CURRENT_LINK"
  echo "$agent_restart"
  printf 'groupdel %s\n' "${GROUPS_[@]}"
)" "$(run_steps)" "steps of the second uninstall"

# ---- A watchdog server that ignores SIGTERM holds the uninstall only for a while. Under
# systemd, started by hand: the uninstall's own stop waits for the product's shutdown
# timeout and 10 s more, then kills it with the product process it started. Under SysV,
# through the registered init script, whose stop waits STOP_TIMEOUT seconds (5 min unless
# /etc/default/tarn says otherwise), then kills it with what it started.
if [[ $init == sysv ]]; then
  ln -s -- "$E2E_CURRENT_LINK/etc/init.d/tarn" /etc/init.d/tarn
  printf 'STOP_TIMEOUT=1\n' >/etc/default/tarn
  run_launcher
  expect_status 0
  server=$(wdserver_pid)
  hang=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/wdserver.hang
  touch -- "$hang"
  : >"$E2E_TRACE_FILE"
  run_launcher_within 60 --uninstall
  expect_status 0
  expect_contains "tarn: the watchdog server $server did not stop within 1 s; killing it and what it started" "$E2E_TRACE_FILE"
  [[ ! -e /proc/$server ]] || fail "the hung server $server outlived the uninstall"
  left=$(for process in /proc/[0-9]*; do readlink "$process/exe"; done 2>/dev/null |
    grep -F "$E2E_TARN_VAR/" || true)
  expect_eq "" "$left" "the product's processes after the uninstall"
  rm -f -- "$hang" /etc/default/tarn
else
  printf '[Watchdog]\nTimeoutAfterShutdown=0s\n' >>"$E2E_TARN_VAR/common/tarn.ini"
  hung=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/wdserver
  cp -- "$hung" "$E2E_SCRATCH/wdserver.real"
  cp -- /bin/sleep "$hung"
  # shellcheck disable=SC2016 # The inner script expands its own arguments.
  # A server leading a session, ignoring SIGTERM, with a product process of its own; a child
  # of PID 1, like a daemon, so that it does not linger as this script's zombie.
  server=$(setsid bash -c 'trap "" TERM; "$1" 86400 & echo $! >"$2"; exec "$1" 86400' hung \
    "$hung" "$E2E_SCRATCH/product.pid" </dev/null >/dev/null 2>&1 &
    echo "$!")
  for ((attempt = 0; attempt < 500; attempt++)); do
    [[ -s $E2E_SCRATCH/product.pid && $(readlink "/proc/$server/exe") == $(readlink -f "$hung") ]] &&
      break
    sleep 0.01
  done
  product=$(<"$E2E_SCRATCH/product.pid")
  printf '%s\n' "$server" >"$E2E_WDSERVER_PIDFILE"
  : >"$E2E_TRACE_FILE"
  run_launcher_within 60 --uninstall
  expect_status 0
  expect_contains "StopService: Process $server did not stop within 10 s of SIGTERM; killing it and its process group" "$E2E_TRACE_FILE"
  [[ ! -e /proc/$server && ! -e /proc/$product ]] ||
    fail "the hung server $server or its product $product outlived the uninstall"
  cp -- "$E2E_SCRATCH/wdserver.real" "$hung"
fi

# ---- A failing uninstall script ends the command: the chains before it are gone, the
# groups after it stay.
for group in "${GROUPS_[@]}"; do groupadd -rf "$group"; done
create_chains
symlinks=$PATCH_DIR/opt/brevantis/tarn/libexec/symlinks
printf '#!/bin/sh\necho "symlinks: cannot remove the links" >&2\nexit 3\n' >"$symlinks"
run_launcher --uninstall
expect_status 1
expect_error "Cmd: $E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/symlinks uninstall $E2E_CURRENT_LINK failed with exit code 3"
expect_only_other_chains iptables
expect_eq 4 "$(group_lines | wc -l)" "product groups after a failed uninstall script"

# ---- A missing packet-filter tool ends the command before the uninstall script.
rm -f -- "$symlinks"
standin_remove ip6tables
clear_calls
run_launcher --uninstall
expect_status 1
expect_error "ip6tables not found"
expect_not_contains "groupdel" "$LAUNCHER_SANDBOX/calls"
expect_eq 4 "$(group_lines | wc -l)" "product groups after a missing ip6tables"
