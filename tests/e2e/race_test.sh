#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Commands that change the product, run at the same time, on the init system the sandbox
# shows. A gate in one step of the first command holds it until the second has begun to
# wait for the product's lock; then the gate opens. Both must end within their bound, with
# an honest exit status, in one consistent state:
#   race_test.sh uninstall_upgrade  an uninstall while a start is in the first start of an
#                                   upgrade (after the exec of the new patch's launcher):
#                                   the upgrade completes, then the product leaves
#   race_test.sh first_installs     two first installs: the second becomes an upgrade of
#                                   the first, and no patch is left behind unnamed
#   race_test.sh install_upgrade    an install while a start upgrades: it installs over the
#                                   upgraded patch and its restart runs the new one
#   race_test.sh upgrade_installs   two upgrades of a running product: the last one runs
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/service_lib.sh"
require_sandbox
require_real_tools groupadd groupdel

case=${1:?usage: race_test.sh uninstall_upgrade|first_installs|install_upgrade|upgrade_installs}
BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' -- "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
UNPACKED=$E2E_TARN_VAR/install_$BUILD_VERSION
INSTALLER=$UNPACKED/opt/brevantis/tarn/libexec/launcher
readonly BUILD_VERSION UNPACKED INSTALLER
readonly LOCK_FILE=$E2E_TARN_VAR/launcher.lock
readonly WAITING="Another launcher command is changing the product"
if [[ $(init_system) == systemd ]]; then
  readonly START=(systemctl start tarn) STOP=(systemctl stop tarn)
else
  readonly START=(service tarn start) STOP=(service tarn stop)
fi

# Lays the package of VERSION where the package manager unpacks it, in place of the last.
unpack() {
  rm -rf -- "$UNPACKED"
  lay_patch "${UNPACKED##*/}" "$1"
}

patch_of() {
  printf '%s/%s_%s' "$E2E_TARN_VAR" "$BUILD_VERSION" "$1"
}

# Shell lines that stop at the gate NAME: they mark it reached and wait (at most 60 s)
# until the test opens it. Once open, the gate lets everyone through.
gate_lines() {
  printf 'touch %q\n' "$E2E_SCRATCH/$1.reached"
  # shellcheck disable=SC2016 # expanded by the script that runs the lines
  printf 'i=0\nwhile [ ! -e %q ] && [ "$i" -lt 3000 ]; do sleep 0.02; i=$((i + 1)); done\n' \
    "$E2E_SCRATCH/$1.open"
}

reached() {
  [[ -e $E2E_SCRATCH/$1.reached ]]
}

open_gate() {
  touch "$E2E_SCRATCH/$1.open"
}

# The command launched as NAME has printed that it waits for another one.
waits() {
  grep -q "$WAITING" "$E2E_SCRATCH/$1.out"
}


# Version 1 installed from its package, registered, and started by the service manager.
install_running_product() {
  unpack 12.6.0.1
  LAUNCHER=$INSTALLER run_launcher --install 1
  expect_status 0
  "${START[@]}"
  expect_eq "$(patch_of 1)" "$(running_patch)" "the running patch"
}

# Version 2 installed while the product was stopped: the next start upgrades to it. The
# export that this start asks of version 1's launcher stops at the gate "export".
lay_pending_upgrade() {
  local launcher
  install_running_product
  "${STOP[@]}"
  unpack 12.6.0.2
  LAUNCHER=$INSTALLER run_launcher --install 2
  expect_status 0
  expect_eq "current=$(patch_of 1) upgrade=$(patch_of 2) previous=- failed=-" "$(links)" "pending upgrade"
  # The export finds its patch from its own path: the launcher goes back before it runs.
  launcher=$(patch_of 1)/opt/brevantis/tarn/libexec/launcher
  mv -- "$launcher" "$launcher.real"
  {
    printf '#!/bin/sh\n'
    # shellcheck disable=SC2016 # expanded by the wrapper
    printf '[ "${1:-}" = --export ] || exec %q "$@"\n' "$launcher.real"
    gate_lines export
    printf 'mv -f %q %q\nexec %q "$@"\n' "$launcher.real" "$launcher" "$launcher"
  } >"$launcher"
  chmod 0755 -- "$launcher"
}

# The product's lock is free again, though the server that the last start ran lives on.
expect_lock_free() {
  flock -n "$LOCK_FILE" true || fail "$LOCK_FILE is still locked: $(cat -- "$LOCK_FILE")"
}

use_service_manager
case $case in
  uninstall_upgrade)
    lay_pending_upgrade
    launch start "${START[@]}"
    wait_until "the start to reach the export" reached export
    launch uninstall "$INSTALLER" --uninstall
    wait_until "the uninstall to wait for the start" waits uninstall
    open_gate export
    finish start
    expect_status 0
    finish uninstall
    expect_status 0
    # The upgrade completed; then the product left the system.
    expect_eq "current=$(patch_of 2) upgrade=- previous=- failed=-" "$(links)" links
    expect_contains "ProductLock: Holding the lock that the executing launcher passed on" "$E2E_TRACE_FILE"
    run_launcher --status
    expect_status 3
    [[ ! -e $SERVICE_UNIT && ! -e /etc/init.d/tarn ]] || fail "the service registration is back"
    expect_lock_free
    ;;
  first_installs)
    unpack 12.6.0.1
    script=$UNPACKED/opt/brevantis/tarn/libexec/symlinks
    { sed -n 1p -- "$script" && gate_lines symlinks && sed 1d -- "$script"; } >"$script.new"
    chmod 0755 -- "$script.new"
    mv -f -- "$script.new" "$script"
    launch first "$INSTALLER" --install 1
    wait_until "the first install to reach its install script" reached symlinks
    launch second "$INSTALLER" --install 2
    wait_until "the second install to wait for the first" waits second
    open_gate symlinks
    finish first
    expect_status 0
    finish second
    expect_status 0
    # The second install upgraded the first: every patch is named by a link, and the
    # service manager's start runs the last one.
    expect_eq "current=$(patch_of 1) upgrade=$(patch_of 2) previous=- failed=-" "$(links)" links
    expect_eq "$(patch_of 1) $(patch_of 2)" \
      "$(find "$E2E_TARN_VAR" -mindepth 1 -maxdepth 1 -name "${BUILD_VERSION}_*" | sort | xargs)" "patches"
    "${START[@]}"
    expect_eq "$(patch_of 2)" "$(running_patch)" "the running patch"
    expect_lock_free
    ;;
  install_upgrade)
    lay_pending_upgrade
    launch start "${START[@]}"
    wait_until "the start to reach the export" reached export
    unpack 12.6.0.3
    launch install "$INSTALLER" --install 3
    wait_until "the install to wait for the start" waits install
    open_gate export
    finish start
    expect_status 0
    finish install
    expect_status 0
    # The install found the upgraded product running; its restart upgraded again.
    expect_eq "current=$(patch_of 3) upgrade=- previous=- failed=-" "$(links)" links
    expect_eq "$(patch_of 3)" "$(running_patch)" "the running patch"
    expect_lock_free
    ;;
  upgrade_installs)
    install_running_product
    unpack 12.6.0.2
    standin_answer groupadd < <(gate_lines groupadd)
    launch first "$INSTALLER" --install 2
    wait_until "the first install to reach groupadd" reached groupadd
    launch second "$INSTALLER" --install 3
    wait_until "the second install to wait for the first" waits second
    open_gate groupadd
    finish first
    expect_status 0
    finish second
    expect_status 0
    expect_eq "current=$(patch_of 3) upgrade=- previous=- failed=-" "$(links)" links
    expect_eq "$(patch_of 3)" "$(running_patch)" "the running patch"
    [[ ! -e $(patch_of 2) ]] || fail "the patch of the first install is left behind"
    expect_lock_free
    ;;
  *) fail "unknown case $case" ;;
esac
