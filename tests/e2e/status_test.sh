#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# "--status" against the watchdog server's pid file: 0 only when the pid file names a live
# process that executes the current patch's wdserver; every other case is 3, except pid
# files that cannot be read, which are errors.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

readonly PIDFILE=/var/run/wdserver.pid
readonly TRACE=/var/log/brevantis/tarn/tarn_launcher.log
readonly WDSERVER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/wdserver

lay_current_patch patch_a
start_fake_wdserver "$E2E_CURRENT_LINK"
pid=$WDSERVER_PID
# A live process of another executable: what a recycled pid looks like.
sleep 86400 >/dev/null 2>&1 &
other_pid=$!
at_exit kill "$pid" "$other_pid"

# content of the pid file | exit status | trace line that explains it
while IFS='|' read -r content status trace; do
  content=${content//@P/$pid}
  content=${content//@O/$other_pid}
  trace=${trace//@P/$pid}
  trace=${trace//@O/$other_pid}
  printf -v trace '%b' "$trace"
  printf '%b' "$content" >"$PIDFILE"
  rm -f "$TRACE"
  run_launcher --status
  expect_status "$status"
  expect_file_eq "" "$OUT"
  expect_file_eq "" "$ERR"
  expect_contains "IsCurrentPatchRunning: $trace" "$TRACE"
done <<'CASES'
@P\n|0|Product running (PID:@P)
@P|0|Product running (PID:@P)
+@P\n|0|Product running (PID:@P)
0000@P|0|Product running (PID:@P)
|3|Product not running (Pid-file /var/run/wdserver.pid is empty)
 @P\n|3|Product not running (Pid-file /var/run/wdserver.pid has wrong content ' @P\n')
abc\n|3|Product not running (Pid-file /var/run/wdserver.pid has wrong content 'abc\n')
-\n|3|Product not running (Pid-file /var/run/wdserver.pid has wrong content '-\n')
999999999|3|Product not running (Access to process with pid 999999999 failed. Reason: No such file or directory)
@O\n|3|Product not running (/var/opt/brevantis/tarn/install-current/opt/brevantis/tarn/libexec/wdserver != /usr/bin/sleep, PID: @O)
CASES

# A missing pid file.
rm -f "$PIDFILE"
run_launcher --status
expect_status 3

# Ten bytes are an error, not wrong content.
printf '1234567890' >"$PIDFILE"
run_launcher --status
expect_status 1
expect_contains "std::exception::what: Pid-file $PIDFILE has unexpected size 10" "$ERR"

# A FIFO in place of the pid file is an open failure, not a wait for a writer.
rm -f "$PIDFILE"
mkfifo "$PIDFILE"
run_launcher_within 20 --status
expect_status 1
expect_contains "std::exception::what: Cannot open $PIDFILE: Invalid argument" "$ERR"
rm -f "$PIDFILE"

# Anyone who can read the pid file can hold its lock: the query gives up after a while.
printf '%s\n' "$pid" >"$PIDFILE"
(
  exec 9<"$PIDFILE"
  flock --exclusive 9
  exec sleep 86400
) &
holder=$!
while flock --exclusive --nonblock "$PIDFILE" true; do
  sleep 0.01
done
run_launcher_within 20 --status
expect_status 1
# (The console wraps the message; the trace holds it on one line.)
expect_contains "std::exception::what: Lock of pid-file $PIDFILE failed: Resource temporarily unavailable" "$TRACE"
kill "$holder"
wait "$holder" || true

# The server of the previous patch, still running after the link moved on, is not the
# product.
printf '%s\n' "$pid" >"$PIDFILE"
lay_current_patch patch_b
cp /bin/sleep "$WDSERVER"
run_launcher --status
expect_status 3
expect_contains "Product not running ($WDSERVER != /var/opt/brevantis/tarn/patch_a/opt/brevantis/tarn/libexec/wdserver, PID: $pid)" "$TRACE"
lay_current_patch patch_a

# A pid file that cannot be opened for another reason than absence is an error: here a
# root without the capability to override file permissions meets a mode 000 file.
if ! command -v setpriv >/dev/null; then
  skip "setpriv is not installed"
fi
chmod 000 "$PIDFILE"
printf -v status_command '%q --status' "$LAUNCHER"
run_launcher_without_dac() {
  STATUS=0
  setpriv --bounding-set=-dac_override,-dac_read_search -- "$LAUNCHER" --status \
    >"$E2E_SCRATCH/nodac.out" 2>"$E2E_SCRATCH/nodac.err" || STATUS=$?
}
run_launcher_without_dac
expect_eq 1 "$STATUS" "exit status of $status_command without DAC override"
expect_contains "std::exception::what: Cannot open $PIDFILE: Permission denied" "$E2E_SCRATCH/nodac.err"
