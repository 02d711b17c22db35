#!/usr/bin/env bash
# Inside the sandbox: lays a current patch with a running stand-in watchdog server, then
# compares "launcher --status" (each binary given) with start-stop-daemon's status query
# on the same pid file and the same process.
#
#   status_bench.sh PROCESS_BENCH WDSERVER RUNS LABEL=LAUNCHER [LABEL=LAUNCHER ...]
set -euo pipefail

if [[ -z ${LAUNCHER_SANDBOX:-} || $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "status_bench.sh: run it inside the sandbox (bench/run-status-bench does)" >&2
  exit 1
fi
process_bench=$1 wdserver=$2 runs=$3
shift 3

patch=/var/opt/brevantis/tarn/patch_bench
mkdir -p "$patch/opt/brevantis/tarn/libexec"
cp "$wdserver" "$patch/opt/brevantis/tarn/libexec/wdserver"
ln -sfn "$patch" /var/opt/brevantis/tarn/install-current
/var/opt/brevantis/tarn/install-current/opt/brevantis/tarn/libexec/wdserver -p /var/run/wdserver.pid -d

subjects=("start-stop-daemon=$(command -v start-stop-daemon) --status --pidfile /var/run/wdserver.pid")
for launcher in "$@"; do
  subjects+=("${launcher%%=*}=${launcher#*=} --status")
done
"$process_bench" "$runs" "${subjects[@]}"
