# shellcheck shell=bash
# Helpers of the tests that drive the product's service through the init system the
# sandbox shows: the real systemd, or SysV with the real service and update-rc.d running
# the shipped init script.

# shellcheck disable=SC2034 # Both are for the tests that source this file.
readonly SERVICE_UNIT=/lib/systemd/system/tarn.service
# shellcheck disable=SC2034
readonly SERVICE_WANTS=/etc/systemd/system/multi-user.target.wants/tarn.service

# "systemd" or "sysv", from PID 1 as the launcher tells them apart.
init_system() {
  if [[ $(readlink /proc/1/exe) == *systemd* ]]; then
    echo systemd
  else
    echo sysv
  fi
}

# Skips the test when the sandbox lacks a real TOOL.
require_real_tools() {
  local tool
  for tool in "$@"; do
    [[ -x $LAUNCHER_SANDBOX/real/$tool ]] || skip "the sandbox has no real $tool"
  done
}

# Makes the sandbox's service manager act on the product's service: the real systemd (the
# sandbox's systemd flavour), or under SysV the real service and update-rc.d running the
# shipped init script, with chkconfig removed as on a Debian system so that update-rc.d
# registers it. A sandbox whose PID 1 only looks like systemd has no service manager.
use_service_manager() {
  if [[ $(init_system) == sysv ]]; then
    require_real_tools service update-rc.d
    standin_remove chkconfig
    return 0
  fi
  [[ ${LAUNCHER_SANDBOX_FLAVOUR:-} == systemd ]] ||
    fail "this test needs a service manager: run it with --init systemd or --init sysv"
}

# Under systemd: whether the unit's journal entries at PRIORITY or worse hold TEXT as an
# entry of its own (they are kept in $E2E_SCRATCH/journal).
journal_has() {
  journalctl -u tarn --no-pager -o cat -p "$1" >"$E2E_SCRATCH/journal"
  grep -Fxq -- "$2" "$E2E_SCRATCH/journal"
}

# The same with an extended regular expression PATTERN for the entry.
journal_matches() {
  journalctl -u tarn --no-pager -o cat -p "$1" >"$E2E_SCRATCH/journal"
  grep -Eq -- "$2" "$E2E_SCRATCH/journal"
}
