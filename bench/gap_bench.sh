#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox under the real systemd: how long an upgrade leaves the host without the
# product's watchdog server, against a plain restart of the same service. Each run installs
# the first version and starts it through the service manager, then measures, from the old
# server's exit to the new server's pid file (gap_probe), and how many processes began in
# that time:
#   restart:  systemctl restart tarn (the first version again);
#   upgrade:  dpkg --install of the second version (its restart switches patches);
#   rollback: dpkg --install of a third version whose server fails (the start rolls back).
# A last run of each, under strace attached to PID 1 (the service manager, whose children
# do all of the gap's work), lists the programs executed inside the gap.
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

# The gap of COMMAND...: milliseconds, processes begun, its start and end (epoch seconds).
gap() {
  "$probe" "$PIDFILE" "$@" 2>>"$log"
}

# The programs that the service manager's descendants executed within the gap of
# COMMAND..., counted by name, most frequent first; the gap's line first.
traced_gap() {
  local trace=$LAUNCHER_SANDBOX/scratch/gap.strace
  mkdir -p "${trace%/*}"
  strace -f -qq -ttt -e trace=execve -e signal=none -o "$trace" -p 1 &
  local tracer=$!
  until grep -Eq '^TracerPid:[[:space:]]*[1-9]' /proc/1/status; do sleep 0.01; done
  local line
  line=$(gap "$@")
  kill -INT "$tracer"
  wait "$tracer" || true
  printf '%s\n' "$line"
  read -r _ _ from to <<<"$line"
  awk -v from="$from" -v to="$to" '/execve\(/ && / = 0$/ && $2 >= from && $2 <= to {
    match($0, /execve\("[^"]*"/); program = substr($0, RSTART + 8, RLENGTH - 9)
    sub(/.*\//, "", program); count[program]++
  } END { for (program in count) print count[program], program }' "$trace" | sort -k1,1nr -k2
  rm -f "$trace"
}

# The median of field FIELD of the lines on standard input.
median() {
  awk -v f="$1" '{print $f}' | sort -n |
    awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# "PROGRAM xCOUNT, ..." of traced_gap's program lines.
programs() {
  tail -n +2 | awk '{printf "%s%s x%s", (NR > 1 ? ", " : ""), $2, $1} END {print ""}'
}

restart=() upgrade=() rollback=()
for ((run = 0; run < runs; run++)); do
  fresh_install
  restart+=("$(gap /bin/systemctl restart tarn)")
  upgrade+=("$(gap /usr/bin/dpkg --install "$(package "$v2")")")
  rollback+=("$(gap /usr/bin/dpkg --install "$(package "$v3")")")
done
dpkg --purge tarn >>"$log" 2>&1 || true

restart_ms=$(printf '%s\n' "${restart[@]}" | median 1)
upgrade_ms=$(printf '%s\n' "${upgrade[@]}" | median 1)
rollback_ms=$(printf '%s\n' "${rollback[@]}" | median 1)
restart_pids=$(printf '%s\n' "${restart[@]}" | median 2)
upgrade_pids=$(printf '%s\n' "${upgrade[@]}" | median 2)
rollback_pids=$(printf '%s\n' "${rollback[@]}" | median 2)
fresh_install
traced_restart=$(traced_gap /bin/systemctl restart tarn)
traced_upgrade=$(traced_gap /usr/bin/dpkg --install "$(package "$v2")")
traced_rollback=$(traced_gap /usr/bin/dpkg --install "$(package "$v3")")
dpkg --purge tarn >>"$log" 2>&1 || true

printf 'protection gap, median of %d runs (old server gone -> new pid file), and the\n' "$runs"
printf 'processes and threads begun inside it:\n'
awk -v r="$restart_ms" -v u="$upgrade_ms" -v b="$rollback_ms" \
  -v rp="$restart_pids" -v up="$upgrade_pids" -v bp="$rollback_pids" 'BEGIN {
  printf "  systemctl restart tarn          %8.1f ms   1.00   %4d processes\n", r, rp
  printf "  upgrade (dpkg -i next version)  %8.1f ms   %.2f   %4d processes\n", u, u / r, up
  printf "  rollback (dpkg -i failing one)  %8.1f ms   %.2f   %4d processes\n", b, b / r, bp
}'
printf 'programs executed inside the gap of one run under strace (slower):\n'
printf '  restart:  %s\n' "$(programs <<<"$traced_restart")"
printf '  upgrade:  %s\n' "$(programs <<<"$traced_upgrade")"
printf '  rollback: %s\n' "$(programs <<<"$traced_rollback")"
