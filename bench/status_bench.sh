#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox: lays a current patch with a running stand-in watchdog server, then
# compares "launcher --status" (each binary given) with start-stop-daemon's status query
# on the same pid file and the same process.
#
#   status_bench.sh PROCESS_BENCH PATCH_TREE RUNS LABEL=LAUNCHER [LABEL=LAUNCHER ...]
set -euo pipefail

if [[ -z ${LAUNCHER_SANDBOX:-} || $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "status_bench.sh: run it inside the sandbox (bench/run-status-bench does)" >&2
  exit 1
fi
process_bench=$1 patch_tree=$2 runs=$3
shift 3
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/wdserver_command_line.sh"

patch=/var/opt/brevantis/tarn/patch_bench
mkdir -p "${patch%/*}"
cp -a "$patch_tree" "$patch"
ln -sfn "$patch" /var/opt/brevantis/tarn/install-current
wdserver_command_line /var/opt/brevantis/tarn/install-current
"${WDSERVER_COMMAND_LINE[@]}"

subjects=("start-stop-daemon=$(command -v start-stop-daemon) --status --pidfile /var/run/wdserver.pid")
for launcher in "$@"; do
  subjects+=("${launcher%%=*}=${launcher#*=} --status")
done
"$process_bench" "$runs" "${subjects[@]}"
