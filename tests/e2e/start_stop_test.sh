#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Start, stop and restart of an installed product on the init system the sandbox shows:
# the watchdog server runs after "start", a second start reports it running (2), "stop"
# ends it and a second stop reports it stopped (2), a pid recycled by another program is
# never signalled, and "restart" hands the service manager the restart it understands.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

init=systemd
[[ $(readlink /proc/1/exe) == *systemd* ]] || init=sysv

install_product 12.6.0.118_a 12.6.0.118

run_launcher
expect_status 0
run_launcher --status
expect_status 0
expect_contains "StartProduct: wdserver started!" "$E2E_TRACE_FILE"
expect_contains "started $E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/tarn-starter" \
  /var/log/brevantis/tarn/tarn_wdserver.log

# The start ran the integrity check in a child it did not wait for; its event comes.
for ((attempt = 0; attempt < 500; attempt++)); do
  grep -qs IntegrityCheckPassed /var/opt/brevantis/tarn/common/offline-events/*.json && break
  sleep 0.01
done
grep -qs '"tarn"' /var/opt/brevantis/tarn/common/offline-events/*.json ||
  fail "no integrity check event for the product"

# A slow integrity checker holds neither the start nor a caller that reads its output to
# the end: it waits for the test's release (at most 20 s) and is still waiting afterwards.
run_launcher --stop
expect_status 0
checker=$PATCH_DIR/opt/brevantis/tarn/bin/integrity_checker
release=$E2E_SCRATCH/release-checker
mv -- "$checker" "$checker.real"
cat >"$checker" <<SCRIPT
#!/bin/sh
for i in \$(seq 400); do [ -e "$release" ] && break; sleep 0.05; done
exec "$checker.real" "\$@"
SCRIPT
chmod 0755 -- "$checker"
at_exit touch "$release"
output=$("$LAUNCHER" 2>&1)
pgrep -f "bin/integrity_checker --signature-type" >/dev/null || fail "the start waited for the integrity checker; output: $output"
touch "$release"

run_launcher --start
expect_status 2
expect_contains "StartProduct: wdserver already started!" "$E2E_TRACE_FILE"

server=$(<"$E2E_WDSERVER_PIDFILE")
run_launcher --stop
expect_status 0
expect_contains "operator(): Stopping product..." "$E2E_TRACE_FILE"
expect_contains "operator(): Product stopped" "$E2E_TRACE_FILE"
[[ ! -e /proc/$server ]] || fail "the watchdog server $server still runs after stop"

run_launcher --stop
expect_status 2
expect_contains "operator(): Product already stopped" "$E2E_TRACE_FILE"

# A pid file naming a live process of another program: not ours to stop.
sleep 60 &
stranger=$!
at_exit kill "$stranger"
printf '%s\n' "$stranger" >"$E2E_WDSERVER_PIDFILE"
run_launcher --stop
expect_status 2
kill -0 "$stranger" || fail "stop signalled the process $stranger of another program"

clear_calls
if [[ $init == systemd ]]; then
  # The real systemd, with the unit as the install lays it: the restart returns at once
  # (--no-block) and the service manager starts the product.
  rm -f -- "$E2E_WDSERVER_PIDFILE"
  install -m 0644 -- "$PATCH_DIR/opt/brevantis/tarn/shared/tarn.service" /lib/systemd/system/tarn.service
  systemctl daemon-reload
  clear_calls
  run_launcher --restart
  expect_status 0
  expect_eq "systemctl --no-block restart tarn" "$(calls)" "recorded calls"
  wait_until "the service's start" systemctl --quiet is-active tarn
  expect_eq "$(<"$E2E_WDSERVER_PIDFILE")" "$(systemctl show -p MainPID --value tarn)" \
    "the unit's main pid"
  run_launcher --status
  expect_status 0
else
  # On SysV the real service tool runs the shipped init script, linked as the install
  # links it: its restart stops and starts the product through the launcher.
  ln -s "$E2E_CURRENT_LINK/etc/init.d/tarn" /etc/init.d/tarn
  run_launcher --restart
  expect_status 0
  expect_eq "service tarn restart" "$(calls)" "recorded calls"
  run_launcher --status
  expect_status 0
fi
expect_contains "operator(): Product restart initialized" "$E2E_TRACE_FILE"

# The startup mode the product is told: Install until its health log exists (at the path
# the ini names, when it names one), Regular from then on.
run_launcher --stop
default_log=$E2E_TARN_VAR/private/tarn_health.log
configured_log=$E2E_SCRATCH/health.log
while IFS='|' read -r configured present mode number; do
  sed -i '/^ProductHealthLogFile=/d; /^\[Watchdog\]/d' "$E2E_TARN_VAR/common/tarn.ini"
  log=$default_log
  if [[ $configured == yes ]]; then
    printf '[Watchdog]\nProductHealthLogFile=%s\n' "$configured_log" >>"$E2E_TARN_VAR/common/tarn.ini"
    log=$configured_log
  fi
  rm -f -- "$default_log" "$configured_log"
  mkdir -p -- "${default_log%/*}"
  for file in $present; do
    if [[ $file == default ]]; then touch -- "$default_log"; else touch -- "$configured_log"; fi
  done
  : >"$E2E_TRACE_FILE"
  run_launcher
  expect_status 0
  expect_contains "StartProduct: Startup mode: $mode" "$E2E_TRACE_FILE"
  expect_contains "--worklog $log --worklog-period" "$E2E_TRACE_FILE"
  expect_eq "SOV_STARTUP_MODE=$number" \
    "$(grep -o 'SOV_STARTUP_MODE=[0-9]' /var/log/brevantis/tarn/tarn_wdserver.log | tail -n 1)" \
    "startup mode of the last start"
  run_launcher --stop
  expect_status 0
done <<'CASES'
no||Install|1
no|default|Regular|0
yes|default|Install|1
yes|default configured|Regular|0
CASES
