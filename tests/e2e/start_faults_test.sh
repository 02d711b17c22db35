#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Faults in the start-time upgrade chain under the real systemd: patch t1 installed, patch
# t2 installed over it while the product is stopped, and "systemctl start tarn" finishing
# the upgrade.
#   start_faults_test.sh unit_show|unit_reload: the service unit's check after the new
#     server runs fails once (where units live, or the reload): the upgrade stands, with a
#     warning, rather than rolling back to a patch whose updates are gone.
#   start_faults_test.sh signal: SIGTERM to the unit's control process while the new patch's
#     install script runs: the script is stopped, the start fails at once (not after the
#     unit's start timeout), and the next start completes the upgrade.
#   start_faults_test.sh launcher_empty|launcher_cut: the new patch's launcher cannot run:
#     the old launcher rolls back, and the warning names the step.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
require_sandbox
[[ ${LAUNCHER_SANDBOX_FLAVOUR:-} == systemd ]] || fail "run this test with --init systemd"

case=${1:?usage: start_faults_test.sh unit_show|unit_reload|signal|launcher_empty|launcher_cut}

BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
readonly BUILD_VERSION
readonly UNPACKED=$E2E_TARN_VAR/install_$BUILD_VERSION
readonly OLD=$E2E_TARN_VAR/${BUILD_VERSION}_t1
readonly NEW=$E2E_TARN_VAR/${BUILD_VERSION}_t2

unpack_build() {
  rm -rf -- "$UNPACKED"
  mkdir -p -- "$E2E_TARN_VAR"
  cp -a -- "$LAUNCHER_PATCH_TREE" "$UNPACKED"
}

install_build() {
  LAUNCHER=$UNPACKED/opt/brevantis/tarn/libexec/launcher run_launcher --install "$1"
  expect_status 0
}

unit_state() {
  systemctl is-active tarn || true
}

# The upgrade from t1 to t2 as a package leaves it when the product does not run: the
# next start of the unit finishes it. HOOK, when given, runs on the unpacked t2 first.
lay_pending_upgrade() {
  local hook=${1:-}
  unpack_build
  install_build t1
  unpack_build
  [[ -z $hook ]] || "$hook"
  install_build t2
  expect_eq "current=$OLD upgrade=$NEW previous=- failed=-" "$(links)" "links before the start"
  : >"$E2E_TRACE_FILE"
}

# systemctl answers for real, but fails its first call with the arguments ARG... once.
fail_systemctl_once() {
  local marker=$E2E_SCRATCH/systemctl-failed
  standin_answer systemctl <<EOF
if [[ "\$*" == "$*" && ! -e $marker ]]; then
  : >$marker
  echo "systemctl: failing as the test asked" >&2
  exit 1
fi
exec "$LAUNCHER_SANDBOX/real/systemctl" "\$@"
EOF
}

expect_upgraded() {
  expect_eq active "$(unit_state)" "the unit's state"
  expect_eq "current=$NEW upgrade=- previous=- failed=-" "$(links)" links
  expect_eq "$NEW" "$(running_patch)" "the running patch"
  expect_not_contains "RollingBack" "$E2E_TRACE_FILE"
}

# While BLOCK exists, the install script of the unpacked patch tells READY that it runs
# and waits; SIGTERM makes it note STOPPED and end.
block_install_script() {
  local script=$UNPACKED/opt/brevantis/tarn/libexec/symlinks
  mv -- "$script" "$script.real"
  cat >"$script" <<EOF
#!/bin/sh
if [ "\$1" = install ] && [ -e $E2E_SCRATCH/block ]; then
  trap 'kill \$!; echo stopped >$E2E_SCRATCH/stopped; exit 1' TERM
  sleep 600 &
  : >$E2E_SCRATCH/ready
  wait \$!
fi
exec "\$(dirname "\$0")/symlinks.real" "\$@"
EOF
  chmod 0755 -- "$script"
}

case $case in
  unit_show)
    lay_pending_upgrade
    fail_systemctl_once show -p FragmentPath multi-user.target
    systemctl start tarn
    expect_upgraded
    expect_contains "WRN InstallServiceUnit: Cmd: systemctl show -p FragmentPath multi-user.target failed with exit code 1" \
      "$E2E_TRACE_FILE"
    ;;
  unit_reload)
    lay_pending_upgrade
    # An administrator's edit in the laid unit: the check lays the patch's again.
    echo "# edited" >>"$SERVICE_UNIT"
    systemctl daemon-reload
    fail_systemctl_once daemon-reload
    systemctl start tarn
    expect_upgraded
    expect_contains "WRN InstallServiceUnit: Cmd: systemctl daemon-reload failed with exit code 1" \
      "$E2E_TRACE_FILE"
    ;;
  signal)
    lay_pending_upgrade block_install_script
    : >"$E2E_SCRATCH/block"
    launch start systemctl start tarn
    wait_until "the new patch's install script" test -e "$E2E_SCRATCH/ready"
    control=$(systemctl show -p ControlPID --value tarn)
    [[ $control != 0 ]] || fail "the unit has no control process"
    kill -TERM "$control"
    # At once, not after the unit's start timeout (far beyond launch's 120 s).
    finish start
    [[ $STATUS != 0 && $STATUS != 124 ]] || fail "systemctl start ended with $STATUS"
    # The unit failed and would start again in 10 s (Restart=on-failure): the test starts it
    # itself, once the install script no longer blocks.
    systemctl stop tarn
    expect_file_eq $'stopped\n' "$E2E_SCRATCH/stopped"
    expect_contains "ERR operator(): Ended by SIGTERM; the next start goes on from the upgrade state written last" \
      "$E2E_TRACE_FILE"
    expect_eq "current=$NEW upgrade=- previous=$OLD failed=-" "$(links)" "links after the signal"
    rm -- "$E2E_SCRATCH/block"
    systemctl start tarn
    expect_upgraded
    ;;
  launcher_empty | launcher_cut)
    lay_pending_upgrade
    launcher=$NEW/opt/brevantis/tarn/libexec/launcher
    # A new file in its place: the unpacked build's copy shares the old one.
    if [[ $case == launcher_empty ]]; then
      : >"$launcher.broken"
    else
      head -c "$(($(stat -c %s "$launcher") / 2))" "$launcher" >"$launcher.broken"
    fi
    chmod 0755 -- "$launcher.broken"
    mv -f -- "$launcher.broken" "$launcher"
    systemctl start tarn
    expect_eq active "$(unit_state)" "the unit's state"
    expect_eq "current=$OLD upgrade=$NEW previous=- failed=$NEW" "$(links)" links
    expect_eq "$OLD" "$(running_patch)" "the running patch"
    expect_contains "The upgrade to version $BUILD_VERSION failed at the start of its launcher and was rolled back; version $BUILD_VERSION runs." \
      "$E2E_TRACE_FILE"
    ;;
  *) fail "unknown case $case" ;;
esac
