#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The shipped init script on a SysV system, driven by the real update-rc.d and service:
# its header registers it for the boot run levels, and status answers with the LSB codes
# through the launcher of the active patch.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

[[ $LAUNCHER_SANDBOX_INIT == sysv ]] || fail "run this test in a sandbox with --init sysv"
for tool in update-rc.d service; do
  [[ -x $LAUNCHER_SANDBOX/real/$tool ]] || skip "the sandbox has no real $tool"
done
SCRIPT=$(realpath -e -- "$(dirname "${BASH_SOURCE[0]}")/../../dist/tarn")
readonly SCRIPT
readonly LINKS=(/etc/rc0.d/K01tarn /etc/rc1.d/K01tarn /etc/rc2.d/S01tarn /etc/rc3.d/S01tarn
  /etc/rc4.d/S01tarn /etc/rc5.d/S01tarn /etc/rc6.d/K01tarn)

# Prints the exit status of "service tarn ARG...".
service_status() {
  local status=0
  service tarn "$@" >"$E2E_SCRATCH/service.out" 2>&1 || status=$?
  printf '%s' "$status"
}

boot_links() {
  local link
  for link in /etc/rc?.d/[SK]??tarn; do
    [[ -L $link ]] && printf '%s -> %s\n' "$link" "$(readlink "$link")"
  done
  return 0
}

install -m 0755 -- "$SCRIPT" /etc/init.d/tarn

# Registration, both as packages do it and as the launcher's enabler does.
clear_calls
update-rc.d tarn defaults
expect_eq "$(printf '%s -> ../init.d/tarn\n' "${LINKS[@]}")" "$(boot_links)" "boot links"
update-rc.d -f tarn remove
expect_eq "" "$(boot_links)" "boot links after the removal"
update-rc.d tarn start 50 2 3 4 5 . stop 30 0 1 6 . 2>"$E2E_SCRATCH/update-rc.d.err"
expect_eq "$(printf '%s -> ../init.d/tarn\n' "${LINKS[@]}")" "$(boot_links)" \
  "boot links from the enabler's command line"
expect_contains $'update-rc.d tarn defaults\n' "$LAUNCHER_SANDBOX/calls"

# Without an installed product: the state is unknown, nothing is left to stop, and
# nothing can start.
expect_eq 4 "$(service_status status)" "status without a product"
expect_contains "install-current/opt/brevantis/tarn/libexec/launcher is missing" \
  "$E2E_SCRATCH/service.out"
expect_eq 0 "$(service_status stop)" "stop without a product"
expect_eq 5 "$(service_status start)" "start without a product"
expect_eq 2 "$(service_status reload)" "an unknown action"
expect_contains "usage:" "$E2E_SCRATCH/service.out"

# Installed: the launcher of the active patch answers.
lay_current_patch patch_a
install -m 0755 -- "$LAUNCHER" "$PATCH_DIR/opt/brevantis/tarn/libexec/launcher"
expect_eq 3 "$(service_status status)" "status of a stopped product"
start_fake_wdserver "$E2E_CURRENT_LINK"
at_exit kill "$WDSERVER_PID"
expect_eq 0 "$(service_status status)" "status of a running product"
expect_contains $'service tarn status\n' "$LAUNCHER_SANDBOX/calls"
