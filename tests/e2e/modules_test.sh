#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The product's own kernel modules, with fanotify off.
#   modules_test.sh loaded: a package waits for the upgrade while a product module is
#     loaded (a fake /proc/modules bind-mounted in the sandbox): the old product starts and
#     the state stays PackageReconfigured.
#   modules_test.sh build: a start without modules builds them with the patch's script,
#     whose output is the prepare_module log; a script that builds nothing stops the start.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/upgrade_lib.sh"
require_sandbox

case=${1:?usage: modules_test.sh loaded|build}
readonly log=/var/log/brevantis/tarn/prepare_module.log

fanotify_off() {
  sed -i 's/^UseFanotify=.*/UseFanotify=no/' "$E2E_TARN_VAR/common/tarn.ini"
}

case $case in
  loaded)
    lay_upgrade
    fanotify_off
    modules=$E2E_SCRATCH/modules
    printf 'ext4 1 0 - Live 0x0\nredirfs 16384 0 - Live 0x0\n' >"$modules"
    [[ -e /proc/modules ]] || skip "this kernel has no /proc/modules to bind-mount over"
    mount --bind "$modules" /proc/modules 2>/dev/null || skip "cannot bind-mount over /proc/modules"
    at_exit umount /proc/modules
    start_as_service_manager
    expect_status 0
    expect_contains "Upgrade stopped because UseFanotify=false and kernel module is loaded" \
      "$E2E_TRACE_FILE"
    expect_contains "Operating system restart is required to continue upgrade procedure" \
      "$E2E_TRACE_FILE"
    expect_eq "$E2E_TARN_VAR/a" "$(readlink "$E2E_CURRENT_LINK")" install-current
    expect_eq "$E2E_TARN_VAR/b" "$(readlink "$E2E_TARN_VAR/install-upgrade")" install-upgrade
    [[ ! -e $E2E_TARN_VAR/install-previous ]] || fail "the upgrade went on"
    run_launcher --status
    expect_status 0
    ;;
  build)
    install_product a 12.6.0.118
    fanotify_off
    libexec=$PATCH_DIR/opt/brevantis/tarn/libexec
    touch "$libexec/prepare_module.nomodules"
    run_launcher
    expect_status 1
    expect_contains "Kernel modules not found" "$ERR"
    grep -qs KernelModuleBuildFailed /var/opt/brevantis/tarn/common/offline-events/*.json ||
      fail "no event for the failed build"
    run_launcher --status
    expect_status 3

    rm -- "$libexec/prepare_module.nomodules"
    run_launcher
    expect_status 0
    expect_contains "Built " "$log"
    expect_not_contains "Nothing built" "$log"
    [[ -f $PATCH_DIR/opt/brevantis/tarn/lib64/modules/$(uname -r)/redirfs.ko ]] ||
      fail "no module built"
    expect_contains "BuildKernelModules: Kernel modules have built" "$E2E_TRACE_FILE"
    ;;
  *) fail "unknown case $case" ;;
esac
