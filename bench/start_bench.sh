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
# answer where the unit files live, the server). The server
# is stopped and the state laid again between runs, outside the measured time.
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

now_us() {
  local t
  t=$(date +%s%N)
  echo $((t / 1000))
}

# Runs COMMAND... RUNS times after SETUP, prints the mean in microseconds.
measure() {
  local setup=$1 total=0 i t0
  shift
  for ((i = 0; i < runs; i++)); do
    "$setup"
    t0=$(now_us)
    "$@" >/dev/null 2>&1
    total=$((total + $(now_us) - t0))
  done
  echo $((total / runs))
}

stop_server() {
  "$LAUNCHER" --stop >/dev/null 2>&1 || true
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

# --- start -------------------------------------------------------------------------------
install_product bench 12.6.0.118
"$LAUNCHER" >/dev/null
read -r -a server < <(sed -n "s/.*Running '\(.*libexec\/wdserver .*\)' \.\.\.$/\1/p" "$E2E_TRACE_FILE" | tail -n 1)
stop_server
launcher_us=$(measure stop_server "$LAUNCHER")
daemon_us=$(measure stop_server start-stop-daemon --start --pidfile /var/run/wdserver.pid \
  --exec "${server[0]}" -- "${server[@]:1}")
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
chain_us=$(measure relay chain)
children_us=$(measure relay children)
relay
printf 'upgrade: launcher %6d us, children alone %6d us, ratio %s, launcher share per image %d us\n' \
  "$chain_us" "$children_us" "$(ratio "$chain_us" "$children_us")" $(((chain_us - children_us) / 2))
