#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox: the cost of the launcher's start and of the start-time upgrade chain,
# each against the same child runs made without the launcher.
#
#   start_bench.sh LAUNCHER PATCH_TREE RUNS
#
# start: "launcher" (installed product, stopped) against start-stop-daemon --start with the
# very command line the launcher gives the watchdog server. upgrade: the whole chain
# (PackageReconfigured -> Installed: the old launcher, its exec of the new one and the
# export run) against a script that runs the chain's children in sequence (the old patch's
# symlinks uninstall, the export, the new patch's symlinks install, the service manager's
# answer where the unit files live, the server). The server is stopped and the state laid
# again between runs, outside the measured time. Each pair of measures runs interleaved;
# the medians are compared.
set -euo pipefail

if [[ -z ${LAUNCHER_SANDBOX:-} || $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "start_bench.sh: run it inside the sandbox (bench/run-start-bench does)" >&2
  exit 1
fi
export LAUNCHER=$1 LAUNCHER_PATCH_TREE=$2
runs=$3
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/upgrade_lib.sh"
require_sandbox

# Runs the commands NAME_A and NAME_B RUNS times each, alternately (so that the machine's
# other load weighs on both alike), SETUP before each run and outside the measured time;
# sets the medians MEDIAN_A and MEDIAN_B in microseconds. The clock is bash's own
# EPOCHREALTIME: reading it starts no process.
measure_pair() {
  local setup=$1 a=$2 b=$3 i t0 t1 times_a=() times_b=()
  for ((i = 0; i < runs; i++)); do
    "$setup"
    t0=$EPOCHREALTIME
    "$a" >/dev/null 2>&1
    t1=$EPOCHREALTIME
    times_a+=($((${t1/./} - ${t0/./})))
    "$setup"
    t0=$EPOCHREALTIME
    "$b" >/dev/null 2>&1
    t1=$EPOCHREALTIME
    times_b+=($((${t1/./} - ${t0/./})))
  done
  MEDIAN_A=$(median "${times_a[@]}")
  MEDIAN_B=$(median "${times_b[@]}")
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# Each start leaves its integrity checks running in the background (forked launchers and
# their checkers); the next run, of either command, waits until they have ended.
wait_for_background_checks() {
  local deadline=$((SECONDS + 10)) comm busy=1
  while ((busy && SECONDS < deadline)); do
    busy=0
    for comm in /proc/[0-9]*/comm; do
      case $(cat "$comm" 2>/dev/null) in
        launcher | integrity_check) busy=1 ;;
      esac
    done
    ((busy == 0)) || sleep 0.01
  done
}

stop_server() {
  "$LAUNCHER" --stop >/dev/null 2>&1 || true
  wait_for_background_checks
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

# --- start -------------------------------------------------------------------------------
install_product bench 12.6.0.118
"$LAUNCHER" >/dev/null
read -r -a server < <(sed -n "s/.*Running '\(.*libexec\/wdserver .*\)' \.\.\.$/\1/p" "$E2E_TRACE_FILE" | tail -n 1)
stop_server
launcher() {
  "$LAUNCHER"
}
start_stop_daemon() {
  start-stop-daemon --start --pidfile /var/run/wdserver.pid --exec "${server[0]}" -- "${server[@]:1}"
}
measure_pair stop_server launcher start_stop_daemon
launcher_us=$MEDIAN_A daemon_us=$MEDIAN_B
stop_server
printf 'start:   launcher %6d us, start-stop-daemon %6d us, ratio %s\n' \
  "$launcher_us" "$daemon_us" "$(ratio "$launcher_us" "$daemon_us")"

# --- upgrade chain -------------------------------------------------------------------------
rm -rf -- "$E2E_TARN_VAR" /var/log/brevantis/tarn
lay_upgrade
snapshot=$E2E_SCRATCH/upgrade-snapshot
cp -a "$E2E_TARN_VAR" "$snapshot"
relay() {
  stop_server
  rm -rf -- "$E2E_TARN_VAR"
  cp -a "$snapshot" "$E2E_TARN_VAR"
}
current=$E2E_CURRENT_LINK/opt/brevantis/tarn
chain() {
  "$current/libexec/launcher"
}
children() {
  "$current/libexec/symlinks" uninstall "$E2E_CURRENT_LINK"
  systemctl show -p FragmentPath multi-user.target
  LD_LIBRARY_PATH=$current/lib64/ "$current/libexec/launcher" --export
  "$current/libexec/symlinks" install "$E2E_CURRENT_LINK"
  "${server[@]}"
}
measure_pair relay chain children
chain_us=$MEDIAN_A children_us=$MEDIAN_B
relay
printf 'upgrade: launcher %6d us, children alone %6d us, ratio %s, launcher share per image %d us\n' \
  "$chain_us" "$children_us" "$(ratio "$chain_us" "$children_us")" $(((chain_us - children_us) / 2))
