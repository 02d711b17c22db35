#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The stand-in watchdog server as the launcher drives it: only the start command's exact
# argument list is accepted; "-d" returns once the pid file is written and the standard
# streams are let go, so that "--status" says running at once; a second server exits 2;
# SIGTERM stops the product starter and removes the pid file; wdserver.fail breaks it.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/wdserver_command_line.sh"
require_sandbox

readonly PIDFILE=/var/run/wdserver.pid
readonly TRACE=/var/log/brevantis/tarn/tarn_wdserver.log
mkdir -p /var/log/brevantis/tarn

install_product current 12.6.0.118
# Processes show the resolved path; the server is given the one through the link.
libexec=$PATCH_DIR/opt/brevantis/tarn/libexec
given_libexec=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec
wdserver_command_line "$E2E_CURRENT_LINK"

# Runs the server with ARGS (the output captured, bounded so that a server that kept the
# caller's streams fails the test instead of hanging it): sets STATUS, OUT, ERR.
run_wdserver() {
  OUT=$E2E_SCRATCH/wdserver.out
  ERR=$E2E_SCRATCH/wdserver.err
  STATUS=0
  timeout 20 "$@" >"$OUT" 2>"$ERR" || STATUS=$?
}

# Edits of the exact argument list, each printing the edited list one word a line.
args() { printf '%s\n' "${WDSERVER_COMMAND_LINE[@]}"; }
without() { args | awk -v o="$1" '$0 == o { skip = 2 } skip > 0 { skip--; next } { print }'; }
with_value() { args | awk -v o="$1" -v v="$2" 'set { print v; set = 0; next } { print } $0 == o { set = 1 }'; }
swap_pairs() { args | awk -v a="$1" -v b="$2" '
  { w[NR] = $0 } END {
    for (i = 1; i <= NR; i++) { if (w[i] == a) ia = i; if (w[i] == b) ib = i }
    t = w[ia]; w[ia] = w[ib]; w[ib] = t; t = w[ia + 1]; w[ia + 1] = w[ib + 1]; w[ib + 1] = t
    for (i = 1; i <= NR; i++) print w[i] }'; }
appended() { args; printf '%s\n' "$@"; }
without_word() { args | grep -vxF -- "$1"; }
env_pairs() {
  args | awk -v pairs="$*" 'BEGIN { n = split(pairs, p, " ") }
    $0 == "--env" { skip = 1; next } skip { skip = 0; next }
    $0 == "-d" { for (i = 1; i <= n; i++) { print "--env"; print p[i] } }
    { print }'
}

# edit | status | stderr (empty: nothing)
while IFS='|' read -r edit status message; do
  read -r -a words <<<"$edit"
  mapfile -t line < <("${words[@]}")
  run_wdserver "${line[@]}"
  expect_eq "$status" "$STATUS" "exit status for: $edit"
  if [[ -n $message ]]; then
    expect_file_eq "wdserver: $message"$'\n' "$ERR"
  fi
  [[ ! -e $PIDFILE ]] || fail "a refused server wrote $PIDFILE ($edit)"
done <<'CASES'
without --umask|1|argument 19: expected "--umask", got "-p"
swap_pairs --n-restart --startup-timeout|1|argument 23: expected "--n-restart", got "--startup-timeout"
appended --verbose|1|argument 63: unexpected "--verbose" after the program path
without_word -d|1|argument 60: expected "-d", got "-e"
without_word --trace-level|1|argument 1: expected "--trace-level", got "0"
with_value --trace-level 5|1|argument 2: bad value "5" of --trace-level (expected 0 or 800)
with_value --wdsock /tmp/wd.sock|1|argument 12: bad value "/tmp/wd.sock" of --wdsock (expected /var/run/wdserver.sock)
with_value -p /run/wdserver.pid|1|argument 22: bad value "/run/wdserver.pid" of -p (expected /var/run/wdserver.pid)
with_value --max-used-mem auto|1|argument 42: bad value "auto" of --max-used-mem (expected a limit other than auto)
with_value --worklog-period 7200|1|argument 54: bad value "7200" of --worklog-period (expected a number of seconds such as 7200s)
with_value -e tarn-starter|1|argument 62: the program "tarn-starter" is not an absolute path
env_pairs SOV_STARTUP_MODE=3 TERM=xterm|1|argument 57: bad startup mode "SOV_STARTUP_MODE=3" (expected 0, 1 or 2)
env_pairs TERM=xterm SOV_STARTUP_MODE=0|1|argument 57: --env TERM is out of place (expected SOV_STARTUP_MODE, then LD_PRELOAD and SOV_STARTUP_TRACES when given, then TERM)
env_pairs SOV_STARTUP_MODE=0 SOV_STARTUP_TRACES=1 LD_PRELOAD=x TERM=xterm|1|argument 61: --env LD_PRELOAD is out of place (expected SOV_STARTUP_MODE, then LD_PRELOAD and SOV_STARTUP_TRACES when given, then TERM)
env_pairs SOV_STARTUP_MODE=0 HOME=/ TERM=xterm|1|argument 59: --env HOME is out of place (expected SOV_STARTUP_MODE, then LD_PRELOAD and SOV_STARTUP_TRACES when given, then TERM)
env_pairs SOV_STARTUP_MODE=0|1|argument 58: expected "--env" with TERM, got "-d"
env_pairs SOV_STARTUP_MODE=0 TERM|1|argument 59: "TERM" is not NAME=VALUE
CASES

# Waits until no process runs EXECUTABLE (bounded).
expect_gone() {
  local executable=$1 attempt
  for ((attempt = 0; attempt < 500; attempt++)); do
    pgrep_exe "$executable" >/dev/null || return 0
    sleep 0.02
  done
  fail "$executable still runs: pid $(pgrep_exe "$executable")"
}

# The pids whose executable is EXECUTABLE.
pgrep_exe() {
  local proc found=1
  for proc in /proc/[0-9]*; do
    if [[ $(readlink "$proc/exe" 2>/dev/null) == "$1" ]]; then
      printf '%s\n' "${proc#/proc/}"
      found=0
    fi
  done
  return "$found"
}

# Runs COMMAND... without its output.
quietly() {
  "$@" >/dev/null
}

# The caller reads the server's output until it ends: no product process may keep a
# descriptor of the caller's, only /dev/null and its own signal descriptor.
expect_only_quiet_descriptors() {
  local pid fd target
  for pid in "$@"; do
    for fd in /proc/"$pid"/fd/*; do
      target=$(readlink "$fd")
      [[ $target == /dev/null || $target == "anon_inode:[signalfd]" ]] ||
        fail "process $pid ($(readlink "/proc/$pid/exe")) keeps descriptor ${fd##*/} on $target"
    done
  done
}

# The exact list, and the variant with every optional part changed, start the product: the
# caller gets 0 only after the pid file names the server, which runs the starter, which
# runs the main process.
variants=(
  ""
  "env_pairs SOV_STARTUP_MODE=2 LD_PRELOAD= SOV_STARTUP_TRACES=1 TERM=dumb"
)
for variant in "${variants[@]}"; do
  if [[ -z $variant ]]; then
    line=("${WDSERVER_COMMAND_LINE[@]}")
    environment="SOV_STARTUP_MODE=0 TERM=xterm"
  else
    read -r -a words <<<"$variant"
    mapfile -t line < <("${words[@]}" | grep -vxF -- --syscall-hangs)
    environment="SOV_STARTUP_MODE=2 LD_PRELOAD= SOV_STARTUP_TRACES=1 TERM=dumb"
  fi
  rm -f "$TRACE"
  run_wdserver "${line[@]}"
  expect_eq 0 "$STATUS" "exit status of the server: $(cat "$ERR")"
  expect_file_eq "" "$OUT"
  expect_file_eq "" "$ERR"
  server=$(<"$PIDFILE")
  expect_eq "$libexec/wdserver" "$(readlink "/proc/$server/exe")" "executable of the pid in $PIDFILE"
  run_launcher --status
  expect_status 0
  # The starter starts the product on its own time.
  wait_until "the product's main process" quietly pgrep_exe "$libexec/tarn"
  starter=$(pgrep_exe "$libexec/tarn-starter")
  product=$(pgrep_exe "$libexec/tarn")
  expect_eq "$server" "$(ps -o ppid= -p "$starter" | tr -d ' ')" "parent of the starter"
  expect_eq "$starter" "$(ps -o ppid= -p "$product" | tr -d ' ')" "parent of the main process"
  expect_only_quiet_descriptors "$server" "$starter" "$product"
  expect_contains "wdserver[$server]: started $given_libexec/tarn-starter pid=$starter $environment" "$TRACE"
  for pair in $environment; do
    grep -qxzF -- "$pair" "/proc/$starter/environ" || fail "the starter's environment lacks $pair"
  done

  # A second server of the same executable leaves the first alone.
  run_wdserver "${line[@]}"
  expect_eq 2 "$STATUS" "exit status of a second server"
  expect_file_eq "wdserver: already running as pid $server"$'\n' "$ERR"
  expect_file_eq "$server"$'\n' "$PIDFILE"

  kill -TERM "$server"
  expect_gone "$libexec/wdserver"
  expect_gone "$libexec/tarn-starter"
  expect_gone "$libexec/tarn"
  [[ ! -e $PIDFILE ]] || fail "$PIDFILE outlived the server"
  expect_contains "wdserver[$server]: stopping tarn-starter pid=$starter"$'\n'"wdserver[$server]: tarn-starter pid=$starter exited with status 0"$'\n'"wdserver[$server]: stopped" "$TRACE"
  run_launcher --status
  expect_status 3
done

# A stale pid file (a dead pid, or a live process of another executable) is taken over.
for stale in 999999 1; do
  printf '%s\n' "$stale" >"$PIDFILE"
  run_wdserver "${WDSERVER_COMMAND_LINE[@]}"
  expect_eq 0 "$STATUS" "exit status over the stale pid $stale: $(cat "$ERR")"
  server=$(<"$PIDFILE")
  [[ $server != "$stale" ]] || fail "the pid file still names $stale"
  kill -TERM "$server"
  expect_gone "$libexec/wdserver"
done

# A starter that cannot be run: nothing is left behind.
mapfile -t line < <(with_value -e "$given_libexec/missing-starter")
run_wdserver "${line[@]}"
expect_eq 1 "$STATUS" "exit status without a starter"
expect_file_eq "wdserver: cannot execute $given_libexec/missing-starter: No such file or directory"$'\n' "$ERR"
[[ ! -e $PIDFILE ]] || fail "$PIDFILE left behind by a server that did not start"

# A broken server says why and starts nothing.
for message in "" "disk on fire"; do
  break_wdserver "$PATCH_DIR" "$message"
  run_wdserver "${WDSERVER_COMMAND_LINE[@]}"
  expect_eq 1 "$STATUS" "exit status of a broken server"
  expect_file_eq "wdserver: ${message:-failing on purpose: $libexec/wdserver.fail exists}"$'\n' "$ERR"
  [[ ! -e $PIDFILE ]] || fail "a broken server wrote $PIDFILE"
  if pgrep_exe "$libexec/tarn-starter"; then
    fail "a broken server started the starter"
  fi
done
