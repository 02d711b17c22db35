#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The shipped systemd unit passes systemd's own check once the launcher of the active patch
# is in place, and fails it without: it names the launcher through install-current.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

command -v systemd-analyze >/dev/null || skip "systemd-analyze is not installed"
UNIT=$(realpath -e -- "$(dirname "${BASH_SOURCE[0]}")/../../dist/tarn.service")
readonly UNIT
readonly INSTALLED=/etc/systemd/system/tarn.service

verify() {
  STATUS=0
  systemd-analyze verify "$INSTALLED" >"$E2E_SCRATCH/verify.out" 2>&1 || STATUS=$?
}

install -m 0644 -- "$UNIT" "$INSTALLED"
lay_current_patch patch_a
install -m 0755 -- "$LAUNCHER" "$PATCH_DIR/opt/brevantis/tarn/libexec/launcher"
verify
expect_eq 0 "$STATUS" "exit status of systemd-analyze verify ($(<"$E2E_SCRATCH/verify.out"))"
expect_file_eq "" "$E2E_SCRATCH/verify.out"

rm -- "$E2E_CURRENT_LINK"
verify
expect_eq 1 "$STATUS" "exit status of systemd-analyze verify without the launcher"
expect_contains "$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher is not executable" \
  "$E2E_SCRATCH/verify.out"
