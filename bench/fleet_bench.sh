#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox (see run-fleet-bench): HOSTS test hosts, the first test version
# installed, then the second rolled out, in canary batches, with FORKS forks.
source "$(dirname "${BASH_SOURCE[0]}")/../tests/fleet/fleet.sh"
require_sandbox
require_repository

readonly COUNT=${1:?hosts} FORKS=${2:?forks}
readonly V1=12.7.0.1 V2=12.7.0.2
HOSTS=()
declare -A INIT=()
for ((i = 1; i <= COUNT; i++)); do
  HOSTS+=("host$i")
  INIT[host$i]=sysv
  ((i % 3 != 0)) || INIT[host$i]=systemd
done
readonly HOSTS

source "$(dirname "${BASH_SOURCE[0]}")/../tests/fleet/hosts.sh"

# Runs the rollout of VERSION while sampling the resident memory of the controller's
# processes (ansible-playbook and its forks, one session): prints the rollout's time, each
# host's, and the peak.
measure_rollout() {
  local version=$1 peak=0 total pid status=0 started
  started=$(date +%s.%N)
  setsid ansible-playbook --forks "$FORKS" --extra-vars "tarn_version=$version" \
    --extra-vars '{"tarn_batch": [1, "30%", "100%"]}' \
    --extra-vars "tarn_repository_url=http://$CONTROLLER:$FLEET_PORT" \
    --extra-vars "tarn_repository_key=$FLEET_REPOSITORY/tarn-archive-keyring.asc" \
    "$PLAYBOOK" >"$E2E_SCRATCH/bench-$version.log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    # ps answers 1 once the session has ended between the check and the sample.
    total=$({ ps -o rss= -s "$pid" 2>/dev/null || true; } | awk '{ sum += $1 } END { print sum + 0 }')
    ((total <= peak)) || peak=$total
    sleep 0.2
  done
  wait "$pid" || status=$?
  ROLLOUT_LOG=$E2E_SCRATCH/bench-$version.log
  ((status == 0)) || fail "$(printf 'the rollout of %s failed (%s):\n%s' "$version" "$status" "$(tail -n 40 -- "$ROLLOUT_LOG")")"
  awk -v from="$started" -v to="$(date +%s.%N)" -v n="$COUNT" -v v="$version" -v kib="$peak" \
    'BEGIN { printf "rollout of %s to %d hosts: %.1f s, controller peak %.0f MiB\n", v, n, to - from, kib / 1024 }'
  host_times | sort -t : -k 2 -n | awk -F ': ' '
    { sub(/ s$/, "", $2); t[NR] = $2; sum += $2; print "  " $0 " s" }
    END { printf "  per host: median %.1f s, max %.1f s, mean %.1f s\n", t[int((NR + 1) / 2)], t[NR], sum / NR }'
}

remove_apt_sources
make_ssh_files
make_bridge
serve_directory "$FLEET_REPOSITORY" "$CONTROLLER"
for host in "${HOSTS[@]}"; do
  start_host "$host"
done
configure_ansible
phase_done "$COUNT hosts up ($(printf '%s\n' "${INIT[@]}" | grep -c systemd) under systemd)"
echo "forks: $FORKS, batches: [1, \"30%\", \"100%\"]"
measure_rollout "$V1"
measure_rollout "$V2"
