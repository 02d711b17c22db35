#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The packaged logrotate rule: logrotate accepts it, and rotating the launcher's and the
# watchdog server's traces loses no line, also of a writer that holds the trace open across
# the rotation, and leaves a new trace of mode 0600 owned by root.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
require_sandbox
find_packages "$LAUNCHER_PRODUCT_VERSION" "$LAUNCHER_PACKAGES_DIR"
command -v logrotate >/dev/null || skip "logrotate is not installed (tools/install-deps)"

readonly LOG_DIR=/var/log/brevantis/tarn
readonly TRACE=$LOG_DIR/tarn_launcher.log
readonly SERVER_TRACE=$LOG_DIR/tarn_wdserver.log
readonly RULE=/etc/logrotate.d/tarn
readonly STATE=$E2E_SCRATCH/logrotate.state

extract_payload "$DEB" "$E2E_SCRATCH/deb"
cmp -s -- "$LAUNCHER_SOURCE_DIR/packaging/tarn.logrotate" "$E2E_SCRATCH/deb$RULE" ||
  fail "the .deb carries another logrotate rule than packaging/tarn.logrotate"
install -m 0644 -- "$E2E_SCRATCH/deb$RULE" "$RULE"

rotate() {
  logrotate --force --state "$STATE" "$RULE" >"$E2E_SCRATCH/logrotate.out" 2>&1 ||
    fail "$(printf 'logrotate failed:\n%s' "$(cat "$E2E_SCRATCH/logrotate.out")")"
}

# A dry run, as a check of the rule, changes nothing.
run_launcher --status
printf 'started pid=1\n' >>"$SERVER_TRACE"
before=$(cat "$TRACE")
logrotate --debug --state "$STATE" "$RULE" >"$E2E_SCRATCH/debug.out" 2>&1 ||
  fail "$(printf 'logrotate --debug rejects the rule:\n%s' "$(cat "$E2E_SCRATCH/debug.out")")"
expect_not_contains "error" "$E2E_SCRATCH/debug.out"
expect_eq "$before" "$(cat "$TRACE")" "trace after the dry run"

# The first rotation renames both traces and creates new ones; a writer that opened the
# trace before it finishes in the renamed file.
exec {held}>>"$TRACE"
rotate
expect_eq "$before" "$(cat "$TRACE.1")" "the renamed trace"
expect_file_eq $'started pid=1\n' "$SERVER_TRACE.1"
for trace in "$TRACE" "$SERVER_TRACE"; do
  expect_eq "600 root root 0" "$(stat -c '%a %U %G %s' -- "$trace")" "mode, owners and size of the new $trace"
done
printf 'written across the rotation\n' >&"$held"
exec {held}>&-
run_launcher --status
after=$(cat "$TRACE")
[[ -n $after ]] || fail "the launcher did not write to the new trace"

# The second rotation compresses the first, now complete, and renames the second.
rotate
expect_eq "$before"$'\nwritten across the rotation' "$(gzip -dc -- "$TRACE.2.gz")" "the first trace, compressed"
expect_eq "$after" "$(cat "$TRACE.1")" "the second trace"
