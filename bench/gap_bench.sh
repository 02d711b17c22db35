#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox under the real systemd: how long an upgrade leaves the host without the
# product's watchdog server, against a plain restart of the same service. Each run installs
# the first version and starts it through the service manager, then measures, from the old
# server's exit to the new server's pid file (gap_probe):
#   restart:  systemctl restart tarn (the first version again);
#   upgrade:  dpkg --install of the second version (its restart switches patches);
#   rollback: dpkg --install of a third version whose server fails (the start rolls back).
#
#   gap_bench.sh GAP_PROBE PACKAGES_DIR V1 V2 V3 RUNS
set -euo pipefail

if [[ ${LAUNCHER_SANDBOX_FLAVOUR:-} != systemd ||
  $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "gap_bench.sh: run it in the sandbox under the real systemd (bench/run-gap-bench does)" >&2
  exit 1
fi
probe=$1 packages=$2 v1=$3 v2=$4 v3=$5 runs=$6
readonly PIDFILE=/run/wdserver.pid
log=$LAUNCHER_SANDBOX/gap-bench.log

package() {
  local deb
  deb=$(printf '%s\n' "$packages"/tarn_"$1"_*.deb)
  [[ -f $deb ]] || { echo "gap_bench.sh: no package of $1 in $packages" >&2; exit 1; }
  printf '%s\n' "$deb"
}

# Purges whatever is installed, installs V1 and starts it; the product then runs.
fresh_install() {
  dpkg --purge tarn >>"$log" 2>&1 || true
  dpkg --install "$(package "$v1")" >>"$log" 2>&1
  systemctl start tarn
  until [[ -s $PIDFILE ]] && kill -0 "$(<"$PIDFILE")" 2>/dev/null; do sleep 0.01; done
}

# The gap of COMMAND..., in milliseconds.
gap() {
  "$probe" "$PIDFILE" "$@" 2>>"$log"
}

median() {
  sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

restart=() upgrade=() rollback=()
for ((run = 0; run < runs; run++)); do
  fresh_install
  restart+=("$(gap /bin/systemctl restart tarn)")
  upgrade+=("$(gap /usr/bin/dpkg --install "$(package "$v2")")")
  rollback+=("$(gap /usr/bin/dpkg --install "$(package "$v3")")")
done
dpkg --purge tarn >>"$log" 2>&1 || true

restart_ms=$(printf '%s\n' "${restart[@]}" | median)
upgrade_ms=$(printf '%s\n' "${upgrade[@]}" | median)
rollback_ms=$(printf '%s\n' "${rollback[@]}" | median)
printf 'protection gap, median of %d runs (old server gone -> new pid file):\n' "$runs"
awk -v r="$restart_ms" -v u="$upgrade_ms" -v b="$rollback_ms" 'BEGIN {
  printf "  systemctl restart tarn          %8.1f ms   1.00\n", r
  printf "  upgrade (dpkg -i next version)  %8.1f ms   %.2f\n", u, u / r
  printf "  rollback (dpkg -i failing one)  %8.1f ms   %.2f\n", b, b / r
}'
