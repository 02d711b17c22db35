#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The install command as the package scripts run it: the package manager has unpacked the
# build (the built patch tree) into /var/opt/brevantis/tarn/install_<version>, and
# "launcher --install TAG" lays it as a patch.
#   install_test.sh first          first install with the connector reload turned off, its
#                                  start and its uninstall (run it under --init systemd and sysv)
#   install_test.sh upgrade        upgrade of a running product: merges, agreements, restart,
#                                  and the start that completes it runs the new patch (the
#                                  real restart through the init script under SysV)
#   install_test.sh stopped        upgrade of a stopped product: nothing restarts, the new
#                                  unit is laid all the same
#   install_test.sh reboot         fanotify off: a reboot is asked for; a second package
#                                  installed before it takes the place of the first
#   install_test.sh async          the restart is left to a detached launcher
#   install_test.sh reinstall      the package of the installed patch installed again
#   install_test.sh failure        a failing install and refused tags
#   install_test.sh service        the service's files on upgrades: a changed unit is laid, a
#                                  mask and a disabled service are respected, a unit or init
#                                  script that a removal took away comes back
#   install_test.sh lost           install-current names a patch that is gone: repaired, or
#                                  refused before anything changes
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

case=${1:?usage: install_test.sh first|upgrade|stopped|reboot|async|reinstall|failure|service|lost}
readonly ESC=$'\e'
BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
readonly BUILD_VERSION
readonly UNPACKED=$E2E_TARN_VAR/install_$BUILD_VERSION
readonly COMMON=$E2E_TARN_VAR/common
readonly PRIVATE=var/opt/brevantis/tarn/private
export LANG=C

# What the package manager leaves: the build below InstallDir().
unpack_build() {
  rm -rf -- "$UNPACKED"
  mkdir -p -- "$E2E_TARN_VAR"
  cp -a -- "$LAUNCHER_PATCH_TREE" "$UNPACKED"
}


# FILE's text with the console's line wrapping undone.
console_text() {
  tr '\n' ' ' <"$1" | sed 's/  */ /g; s/^ //; s/ $//'
}

expect_console_bold() {
  expect_eq "${ESC}[1m$1${ESC}[0m" "$(console_text "$2")" "bold console message in $2"
}

# The product of patch "a" (12.4.0.1), installed and started, with settings and
# configuration of its own. UseFanotify is ON unless told "no".
lay_installed_product() {
  local fanotify=${1:-yes}
  install_product a 12.4.0.1
  # The service as the first install registered it (on a Debian system).
  if [[ $LAUNCHER_SANDBOX_INIT == sysv ]]; then
    ln -s "$E2E_CURRENT_LINK/etc/init.d/tarn" /etc/init.d/tarn
    standin_remove chkconfig
  else
    install -m 0644 -- "$PATCH_DIR/opt/brevantis/tarn/shared/tarn.service" /lib/systemd/system/tarn.service
  fi
  sed -i "s/^UseFanotify=.*/UseFanotify=$fanotify/" "$COMMON/tarn.ini"
  printf 'ExecArgMax=65536\nOwnKey=mine\n' >>"$COMMON/tarn.ini"
  printf '3F2504E0-4F89-11D3-9A0C-0305E82C3301' >"$COMMON/pcid"
  sed -i 's|<ScanArchives>no</ScanArchives>|<ScanArchives>yes</ScanArchives><OwnSetting>1</OwnSetting>|' \
    "$PATCH_DIR/$PRIVATE/storage/appSettings.xml"
  printf 'events\n' >"$PATCH_DIR/$PRIVATE/storage/events.db"
  printf 'Scan=full\n' >"$PATCH_DIR/$PRIVATE/exported_settings.ini"
  run_launcher
  expect_status 0
  unpack_build
  # The new build ships an argument limit and a key of its own.
  printf 'ExecArgMax=131072\nNewKey=1\n' >>"$UNPACKED/opt/brevantis/tarn/shared/init/tarn.ini"
  : >"$E2E_TRACE_FILE"
  clear_calls
}

# The new patch's server runs: the start after the upgrade has switched to it.
expect_running_patch() {
  local patch=$1 pid
  run_launcher --status
  expect_status 0
  pid=$(<"$E2E_WDSERVER_PIDFILE")
  expect_eq "$patch/opt/brevantis/tarn/libexec/wdserver" "$(readlink "/proc/$pid/exe")" "running server"
}

# Runs start the way the service manager does: the launcher of install-current.
start_as_service_manager() {
  local launcher=$LAUNCHER
  LAUNCHER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher
  run_launcher
  LAUNCHER=$launcher
}

case $case in
  first)
    unpack_build
    # A Debian system: the real update-rc.d enables the init script.
    [[ $LAUNCHER_SANDBOX_INIT == systemd ]] || standin_remove chkconfig
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_20261210
    run_launcher --install 20261210 --disable-reload-connectors
    expect_status 0
    expect_console_bold "Run the '/opt/brevantis/tarn/bin/tarn-setup.pl' file to perform the initial configuration of the application" "$OUT"
    expect_file_eq "" "$ERR"
    # The file that the hint names is there and runs.
    /opt/brevantis/tarn/bin/tarn-setup.pl
    expect_eq "current=$patch upgrade=- previous=- failed=-" "$(links)" links
    # The patch holds hard links to the unpacked files, and its own initial storage.
    expect_eq "$(stat -c %i "$UNPACKED/opt/brevantis/tarn/libexec/launcher")" \
      "$(stat -c %i "$patch/opt/brevantis/tarn/libexec/launcher")" "inode of the patch's launcher"
    cmp -- "$patch/opt/brevantis/tarn/shared/init/storage/appSettings.xml" "$patch/$PRIVATE/storage/appSettings.xml"
    cmp -- "$patch/opt/brevantis/tarn/shared/init/updates/avbases/bases.ini" "$patch/$PRIVATE/updates/avbases/bases.ini"
    [[ ! -e $patch/$PRIVATE/upgrade.json ]] || fail "a first install wrote upgrade.json"
    expect_file_eq "20261210" "$COMMON/install_date.txt"
    expect_file_eq $'[General]\nUseFanotify=yes\nPackageType=deb\n' "$COMMON/tarn.ini"
    expect_eq 644 "$(stat -c %a "$COMMON/tarn.ini")" "mode of the live ini"
    # The live ini and the identity are for the product's unprivileged programs; the rest of
    # common/ is not, and the directory cannot be listed.
    expect_eq 711 "$(stat -c %a "$COMMON")" "mode of $COMMON"
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    "${as_nobody[@]}" cat -- "$COMMON/tarn.ini" "$COMMON/pcid" >/dev/null
    not "${as_nobody[@]}" cat -- "$COMMON/agreements.ini" 2>/dev/null
    not "${as_nobody[@]}" ls -- "$COMMON" 2>/dev/null
    expect_contains "EulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163" "$COMMON/agreements.ini"
    [[ $(<"$COMMON/pcid") =~ ^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$ ]] ||
      fail "no new upper-case PCID: $(<"$COMMON/pcid")"
    for group in tarnadmin tarnuser tarnaudit notarn; do
      grep -q "^$group:" /etc/group || fail "group $group was not created"
    done
    if [[ $LAUNCHER_SANDBOX_INIT == systemd ]]; then
      cmp -- "$patch/opt/brevantis/tarn/shared/tarn.service" /lib/systemd/system/tarn.service
      expect_contains $'systemctl daemon-reload\n' "$LAUNCHER_SANDBOX/calls"
    else
      expect_eq "$E2E_CURRENT_LINK/etc/init.d/tarn" "$(readlink /etc/init.d/tarn)" "init script link"
      [[ -L /etc/rc2.d/S01tarn ]] || fail "the init script is not enabled: $(ls /etc/rc2.d)"
    fi
    expect_not_contains "restart" "$LAUNCHER_SANDBOX/calls"
    for trace in "operator(): Mode: Install" "operator(): Is running: 0" \
      "operator(): Installing version: $BUILD_VERSION" "InstallSettings: Installing settings ..." \
      "'Brevantis Tarn' application is installed successfully. Initial configuration is needed" \
      "RestartForUpgrade: Skip product restart. It is not required"; do
      expect_contains "$trace" "$E2E_TRACE_FILE"
    done
    expect_not_contains "Installed version" "$E2E_TRACE_FILE"
    # The administrator turned the agent's connector reload off: the patch's marker.
    marker=$patch/$PRIVATE/disable_reload_connectors
    expect_eq "0 regular empty file" "$(stat -c '%a %F' -- "$marker")" "the reload marker"
    # Installed: the service manager's start runs the patch.
    start_as_service_manager
    expect_status 0
    expect_running_patch "$patch"
    # The uninstall hands the reload back to the agent.
    : >"$E2E_TRACE_FILE"
    run_launcher --uninstall
    expect_status 0
    [[ ! -e $marker ]] || fail "the uninstall left the reload marker"
    expect_contains "Remove: $E2E_CURRENT_LINK/$PRIVATE/disable_reload_connectors removed" "$E2E_TRACE_FILE"
    expect_contains "ReloadConnectors: Qvnagent is not running" "$E2E_TRACE_FILE"
    ;;
  upgrade)
    lay_installed_product
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_t2
    run_launcher --install t2 --package-type rpm --ztn-on
    expect_status 0
    expect_file_eq "" "$OUT"
    expect_file_eq "" "$ERR"
    if [[ $LAUNCHER_SANDBOX_INIT == systemd ]]; then
      expect_eq "systemctl restart tarn" "$(grep restart "$LAUNCHER_SANDBOX/calls")" "restart call"
    else
      expect_eq "service tarn restart" "$(grep restart "$LAUNCHER_SANDBOX/calls")" "restart call"
    fi
    # The live ini: installed values stay, but the package type and the argument limit are
    # the new build's, and its new keys come in.
    expect_file_eq $'[General]\nUseFanotify=yes\nPackageType=rpm\nExecArgMax=131072\nOwnKey=mine\nNewKey=1\n' \
      "$COMMON/tarn.ini"
    for trace in "Property General.UseFanotify preserved" \
      "Property General.PackageType=rpm changed. Previous value: deb" \
      "Property General.ExecArgMax=131072 changed. Previous value: 65536" \
      "Property General.NewKey=1 added" "Property appSettings.ScanArchives=yes changed. Previous value: no" \
      "Installed version: 12.4.0.1" "Update version $BUILD_VERSION of the 'Brevantis Tarn' application has been installed successfully" \
      "application will restart automatically" "SynchronousRestart: Product restarted successfully"; do
      expect_contains "$trace" "$E2E_TRACE_FILE"
    done
    # The steps in their order. The service stays enabled as the first install left it.
    registration="was registered before"
    [[ $LAUNCHER_SANDBOX_INIT == sysv ]] || registration="daemon-reload|$registration"
    steps="Mode: |Is running: |Installing version: |Installed version: |Is async restart: |Event PatchInstallStarted|groupadd -rf tarnadmin|Installing storage|Installing common|Installing initial updates|Installing config|Installing PCID|Installing agreements|Installing settings|Installing events|Saving previous logs|Saving upgrade info|Installing service|upgrade_date.txt updated|Upgrade state changed|$registration|Event PatchInstalled|DisableReloadConnectors|Restarting product"
    expect_eq "${steps//|/$'\n'}" "$(grep -oE "$steps" "$E2E_TRACE_FILE" | uniq | sed '/^Restarting product$/q')" "steps of the install"
    # The previous patch's settings win, its own ones included; the changes are recorded.
    expect_contains "<ScanArchives>yes</ScanArchives>" "$patch/$PRIVATE/storage/appSettings.xml"
    expect_contains "<OwnSetting>1</OwnSetting>" "$patch/$PRIVATE/storage/appSettings.xml"
    json=$patch/$PRIVATE/upgrade.json
    expect_contains '"OldVersion": "12.4.0.1"' "$json"
    expect_contains '"ZtnUsagePolicy": "Enabled"' "$json"
    expect_contains $'"ScanArchives": {\n                "currentValue": "yes",\n                "initialValue": "no"\n' "$json"
    expect_contains $'"OwnSetting": {\n                "currentValue": "1"\n            }' "$json"
    expect_file_eq "t2" "$patch/$PRIVATE/upgrade_date.txt"
    expect_file_eq $'Scan=full\n' "$patch/$PRIVATE/exported_settings.ini"
    expect_file_eq $'events\n' "$patch/$PRIVATE/storage/events.db"
    if [[ -d $E2E_TARN_VAR/a ]]; then
      expect_eq "$(stat -c %i "$E2E_TARN_VAR/a/$PRIVATE/storage/events.db")" \
        "$(stat -c %i "$patch/$PRIVATE/storage/events.db")" "inode of the events database"
    fi
    expect_file_eq "3F2504E0-4F89-11D3-9A0C-0305E82C3301" "$COMMON/pcid"
    # The accepted end-user agreement stays: the start that completes the upgrade needs it.
    expect_contains "EulaId=be35c8ec-ac67-c4c8-ec3d-a18609760163" "$COMMON/agreements.ini"
    expect_contains "ZtnaId=91d376bd-d0cb-4268-2122-5c8d17398a38" "$COMMON/agreements.ini"
    [[ ! -e $COMMON/install_date.txt ]] || fail "an upgrade wrote the install date"
    # The restart that the service manager was asked for (through the unit, or the init
    # script on SysV): the new patch runs.
    expect_eq "current=$patch upgrade=- previous=- failed=-" "$(links)" "links after the restart"
    expect_running_patch "$patch"
    ;;
  stopped)
    lay_installed_product
    run_launcher --stop
    expect_status 0
    : >"$E2E_TRACE_FILE"
    # Kernel modules that older builds left in the system's module tree go; others stay.
    modules=/lib/modules/$(uname -r)/misc
    mkdir -p "$modules"
    touch "$modules/obx4fs_oas.ko" "$modules/redirfs.ko" "$modules/other.ko"
    # The installed unit differs from the new version's: although nothing restarts, the
    # new one is the unit on the system once the install has ended.
    unit=/lib/systemd/system/tarn.service
    echo "# the previous version's line" >>"$unit"
    run_launcher --install t2
    expect_status 0
    cmp -- "$UNPACKED/opt/brevantis/tarn/shared/tarn.service" "$unit"
    expect_contains "systemctl daemon-reload" "$LAUNCHER_SANDBOX/calls"
    expect_eq "other.ko" "$(ls "$modules")" "modules left"
    expect_contains "$modules/redirfs.ko removed" "$E2E_TRACE_FILE"
    expect_eq "current=$E2E_TARN_VAR/a upgrade=$E2E_TARN_VAR/${BUILD_VERSION}_t2 previous=- failed=-" "$(links)" links
    expect_contains "operator(): Is running: 0" "$E2E_TRACE_FILE"
    expect_contains "RestartForUpgrade: Skip product restart. It is not required" "$E2E_TRACE_FILE"
    expect_not_contains "ProgramRestartRequired" "$E2E_TRACE_FILE"
    expect_not_contains "restart" "$LAUNCHER_SANDBOX/calls"
    expect_file_eq "" "$OUT"
    ;;
  reboot)
    lay_installed_product no
    run_launcher --install t2
    expect_status 0
    expect_console_bold "An application update was installed. Restart the operating system." "$OUT"
    expect_contains "Event OsRebootRequired has written" "$E2E_TRACE_FILE"
    expect_contains "RestartForUpgrade: Skip product restart. Reboot required" "$E2E_TRACE_FILE"
    expect_not_contains "restart" "$LAUNCHER_SANDBOX/calls"
    expect_eq "current=$E2E_TARN_VAR/a upgrade=$E2E_TARN_VAR/${BUILD_VERSION}_t2 previous=- failed=-" "$(links)" links
    # A second package before the reboot: the next start must run the last one installed.
    unpack_build
    printf 'NewerKey=1\n' >>"$UNPACKED/opt/brevantis/tarn/shared/init/tarn.ini"
    run_launcher --install t3
    expect_status 0
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_t3
    expect_eq "current=$E2E_TARN_VAR/a upgrade=$patch previous=- failed=-" "$(links)" "links after the second package"
    [[ ! -e $E2E_TARN_VAR/${BUILD_VERSION}_t2 ]] || fail "the superseded patch is left behind"
    expect_contains "NewerKey=1" "$COMMON/tarn.ini"
    if [[ $LAUNCHER_SANDBOX_INIT == systemd ]]; then
      # The reboot.
      run_launcher --stop
      expect_status 0
      start_as_service_manager
      expect_status 0
    else
      # No reboot: an administrator's start through the init script while a's server still
      # runs. The start does the upgrade and stops a's server before it starts the new one.
      old=$(<"$E2E_WDSERVER_PIDFILE")
      service tarn start >"$E2E_SCRATCH/service.out" 2>&1 || fail "service tarn start: $(<"$E2E_SCRATCH/service.out")"
      [[ ! -e /proc/$old ]] || fail "a's server $old still runs beside the new one"
      # Server, starter and product of the new patch, and nothing else of the product (the
      # starter starts the product on its own time).
      product_processes() {
        for process in /proc/[0-9]*; do readlink "$process/exe"; done 2>/dev/null |
          grep -F "$E2E_TARN_VAR/" | sort || true
      }
      one_set="$(printf "$patch/opt/brevantis/tarn/libexec/%s\n" tarn tarn-starter wdserver)"
      is_one_set() { [[ $(product_processes) == "$one_set" ]]; }
      wait_until "one set of the new patch's processes" is_one_set
      sleep 0.2
      expect_eq "$one_set" "$(product_processes)" "the product's processes a moment later"
    fi
    expect_eq "current=$patch upgrade=- previous=- failed=-" "$(links)" "links after the reboot"
    expect_running_patch "$patch"
    ;;
  async)
    lay_installed_product
    # The detached restart waits until the test lets it go: the install must not wait for
    # it, and must not keep the pipe that reads its output open through it.
    standin_answer systemctl <<SCRIPT
if [[ " \$* " == *" FragmentPath multi-user.target "* ]]; then
  echo FragmentPath=/lib/systemd/system/multi-user.target
fi
if [[ " \$* " == *" restart "* ]]; then
  until [[ -e $E2E_SCRATCH/go ]]; do sleep 0.05; done
  readlink "/proc/\$PPID/exe" >$E2E_SCRATCH/restarted
fi
exit 0
SCRIPT
    output=$("$LAUNCHER" --install t2 --async-restart 2>&1 | cat)
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_t2
    [[ ! -e $E2E_SCRATCH/restarted ]] || fail "the restart ran before the install ended"
    expect_eq "" "$output" "output of the install"
    expect_contains "RestartForUpgrade: Restarting product for upgrade ..." "$E2E_TRACE_FILE"
    expect_contains "AsynchronousRestart: Asynchronous product restart initialized" "$E2E_TRACE_FILE"
    touch "$E2E_SCRATCH/go"
    for ((attempt = 0; attempt < 500; attempt++)); do
      [[ -s $E2E_SCRATCH/restarted ]] && break
      sleep 0.02
    done
    [[ -s $E2E_SCRATCH/restarted ]] || fail "the detached restart never ran"
    # It was the new patch's launcher that asked for the restart.
    expect_file_eq "$patch/opt/brevantis/tarn/libexec/launcher"$'\n' "$E2E_SCRATCH/restarted"
    ;;
  service)
    lay_installed_product
    if [[ $LAUNCHER_SANDBOX_INIT == systemd ]]; then
      unit=/lib/systemd/system/tarn.service
      override=/etc/systemd/system/tarn.service
      # The new version's unit replaces the old one, even where an administrator masked
      # the service; the mask stays, so nothing enables or restarts it.
      echo "# the previous version's line" >>"$unit"
      mkdir -p -- "${override%/*}"
      ln -s /dev/null "$override"
      run_launcher --install t2
      expect_status 0
      cmp -- "$UNPACKED/opt/brevantis/tarn/shared/tarn.service" "$unit"
      expect_eq /dev/null "$(readlink "$override")" "the administrator's mask"
      expect_contains "systemctl daemon-reload" "$LAUNCHER_SANDBOX/calls"
      expect_not_contains "systemctl enable" "$LAUNCHER_SANDBOX/calls"
      expect_not_contains "restart" "$LAUNCHER_SANDBOX/calls"
      expect_contains "RegisterService: Service tarn is masked ($override -> /dev/null); it is neither enabled nor restarted" "$E2E_TRACE_FILE"
      expect_contains "RestartForUpgrade: Skip product restart. The service is masked" "$E2E_TRACE_FILE"
      # The upgrade waits for the service: the package manager's output says so, and what to
      # do; no event says that the product will restart.
      expect_console_warning "the service tarn is masked, so version $BUILD_VERSION is installed but does not run yet; to complete the upgrade, run 'systemctl unmask tarn' and 'systemctl restart tarn'." "$OUT"
      expect_not_contains "ProgramRestartRequired" "$E2E_TRACE_FILE"
      expect_not_contains "application will restart automatically" "$E2E_TRACE_FILE"
      # A unit file of its own at that name would override the product's: it goes. The
      # service stays as the administrator left it (disabled here): no enable.
      rm -f -- "$override"
      echo "[Service]" >"$override"
      standin_answer systemctl <<'SCRIPT'
[[ $* != "is-enabled tarn" ]] || { echo disabled; exit 1; }
[[ $* != "show -p FragmentPath multi-user.target" ]] || echo FragmentPath=/lib/systemd/system/multi-user.target
exit 0
SCRIPT
      unpack_build
      clear_calls
      run_launcher --install t3
      expect_status 0
      [[ ! -e $override ]] || fail "a unit file at $override was left to override the product's"
      expect_not_contains "systemctl enable" "$LAUNCHER_SANDBOX/calls"
      expect_contains "RegisterService: Service tarn was registered before; its enablement stays as it is" "$E2E_TRACE_FILE"
      # Removed without purge, then installed again: the unit comes back, enabled.
      rm -f -- "$unit"
      unpack_build
      clear_calls
      run_launcher --install t4
      expect_status 0
      cmp -- "$UNPACKED/opt/brevantis/tarn/shared/tarn.service" "$unit"
      expect_contains "systemctl enable tarn" "$LAUNCHER_SANDBOX/calls"
      # Masked below /run (systemctl mask --runtime), which only systemctl tells: kept too,
      # where enabling or restarting the unit would fail the install.
      standin_answer systemctl <<'SCRIPT'
[[ $* != "is-enabled tarn" ]] || { echo masked-runtime; exit 1; }
[[ $* != "show -p FragmentPath multi-user.target" ]] || echo FragmentPath=/lib/systemd/system/multi-user.target
exit 0
SCRIPT
      unpack_build
      clear_calls
      run_launcher --install t5
      expect_status 0
      expect_not_contains "systemctl enable" "$LAUNCHER_SANDBOX/calls"
      expect_not_contains "restart" "$LAUNCHER_SANDBOX/calls"
      expect_contains "RegisterService: Service tarn is masked (systemctl is-enabled); it is neither enabled nor restarted" "$E2E_TRACE_FILE"
    else
      # Removed without purge, then installed again: the init script link comes back,
      # registered with the real update-rc.d.
      rm -f -- /etc/init.d/tarn
      update-rc.d -f tarn remove >/dev/null 2>&1
      run_launcher --install t2
      expect_status 0
      expect_eq "$E2E_CURRENT_LINK/etc/init.d/tarn" "$(readlink /etc/init.d/tarn)" "init script link"
      [[ -L /etc/rc2.d/S01tarn ]] || fail "the init script is not enabled again: $(ls /etc/rc2.d)"
      # The restart through it completed the upgrade.
      expect_running_patch "$E2E_TARN_VAR/${BUILD_VERSION}_t2"
    fi
    ;;
  lost)
    install_product a 12.4.0.1
    unpack_build
    # Beside another state link, a lost install-current is not the install's to decide:
    # refused, and nothing is laid.
    ln -s "$E2E_TARN_VAR/a" "$E2E_TARN_VAR/install-upgrade"
    rm -rf -- "$E2E_TARN_VAR/a"
    run_launcher --install t2
    expect_status 1
    expect_console_contains "Error: $E2E_CURRENT_LINK names $E2E_TARN_VAR/a, which is gone, and $E2E_TARN_VAR/install-upgrade is present: the upgrade state cannot be repaired; purge the product and install it again" "$ERR"
    [[ ! -e $E2E_TARN_VAR/${BUILD_VERSION}_t2 ]] || fail "a refused install laid its patch"
    # Alone, it is repaired: the new patch is installed and runs.
    rm -f -- "$E2E_TARN_VAR/install-upgrade"
    run_launcher --install t2
    expect_status 0
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_t2
    expect_eq "current=$patch upgrade=- previous=- failed=-" "$(links)" links
    expect_contains "SetUpgradeState: $E2E_CURRENT_LINK names $E2E_TARN_VAR/a, which is gone; pointing it at $patch" "$E2E_TRACE_FILE"
    expect_contains "GetUpgradeState: Current upgrade state: Installed" "$E2E_TRACE_FILE"
    start_as_service_manager
    expect_status 0
    expect_running_patch "$patch"
    ;;
  reinstall)
    # The installed patch after an upgrade to b was rolled back; its package comes again.
    install_product "${BUILD_VERSION}_t1" "$BUILD_VERSION"
    current=$PATCH_DIR
    lay_patch b 12.7.0.1
    ln -s "$PATCH_DIR" "$E2E_TARN_VAR/install-upgrade"
    ln -s "$PATCH_DIR" "$E2E_TARN_VAR/install-failed"
    unpack_build
    # The installed identity beside another one in the ini (the ini's comes from older
    # versions): neither file changes, as nothing else in the ini does.
    printf '3F2504E0-4F89-11D3-9A0C-0305E82C3301\n' >"$COMMON/pcid"
    ini=$'; the administrator\'s note\n[General]\nUseFanotify=yes\nPackageType=deb\nPCID=0B2504E0-4F89-11D3-9A0C-0305E82C3301\n'
    printf '%s' "$ini" >"$COMMON/tarn.ini"
    run_launcher --install t1
    expect_status 0
    expect_file_eq "$ini" "$COMMON/tarn.ini"
    expect_file_eq $'3F2504E0-4F89-11D3-9A0C-0305E82C3301\n' "$COMMON/pcid"
    expect_contains "SetUpgradeState: $current is the installed patch; the state stays RolledBack" "$E2E_TRACE_FILE"
    # The same identifier in the ini is what an install killed after writing the identity
    # file left: the next install takes it out.
    printf '[General]\nUseFanotify=yes\nPackageType=deb\nPCID={3f2504e0-4f89-11d3-9a0c-0305e82c3301}\n' >"$COMMON/tarn.ini"
    run_launcher --install t1
    expect_status 0
    expect_file_eq $'[General]\nUseFanotify=yes\nPackageType=deb\n' "$COMMON/tarn.ini"
    expect_eq "current=$current upgrade=$PATCH_DIR previous=- failed=$PATCH_DIR" "$(links)" links
    run_launcher
    expect_status 0
    expect_running_patch "$current"
    ;;
  failure)
    # Tags that are not a plain name are refused before anything changes.
    unpack_build
    # (/run holds the service manager's files, which change by themselves.)
    # Trees that do not exist yet count as empty.
    product_files() {
      {
        find "${E2E_PRODUCT_TREES[@]}" /etc/group \( -path /var/log/brevantis -o -path /run \) \
          -prune -o -print 2>/dev/null || true
        find /run -maxdepth 1 -name 'wdserver*'
      } | sort
    }
    before=$(product_files)
    for tag in "" "." ".." "../x" "a/b"; do
      run_launcher --install "$tag"
      expect_status 1
      expect_contains "Error: Error installing the application" "$ERR"
      expect_contains "Invalid install tag" "$ERR"
    done
    expect_eq "$before" "$(product_files)" "files after refused tags"
    # A build without its initial updates does not install: the product would run without
    # them.
    rm -rf -- "$UNPACKED/opt/brevantis/tarn/shared/init/updates"
    run_launcher --install t1
    expect_status 1
    patch=$E2E_TARN_VAR/${BUILD_VERSION}_t1
    text=$(console_text "$ERR")
    # The console tells cp's own cause, not only the trace.
    [[ $text == "${ESC}[0;31mError: Error installing the application${ESC}[0m ${ESC}[0;31mError: "*"what: Cmd: cp -nprv $patch/opt/brevantis/tarn/shared/init/updates/ $patch/$PRIVATE failed with exit code 1: "*"cp: cannot stat '$patch/opt/brevantis/tarn/shared/init/updates/': No such file or directory"* ]] ||
      fail "unexpected error output: $text"
    [[ ! -e $E2E_CURRENT_LINK ]] || fail "an install without initial updates made install-current"
    # A full file system: the copy's cause reaches the console. The copy makes hard links,
    # so it needs inodes only for its directories, and a tmpfs over the product's variable
    # tree has hardly more than the unpacked build takes.
    inodes=$(($(find "$LAUNCHER_PATCH_TREE" | wc -l) + 8))
    mount -t tmpfs -o "nr_inodes=$inodes,mode=0755" tarn-full "$E2E_TARN_VAR"
    unpack_build
    run_launcher --install t1
    expect_status 1
    text=$(console_text "$ERR")
    [[ $text == *"cp -rplvPT $UNPACKED/ "*" failed with exit code 1: "*"cp: cannot create "*": No space left on device"* ]] ||
      fail "the console does not tell the copy's cause: $text"
    umount -- "$E2E_TARN_VAR"
    # No unpacked build at all: the error says which directory is missing, exit 1.
    rm -rf -- "$UNPACKED"
    run_launcher --install t1
    expect_status 1
    text=$(console_text "$ERR")
    [[ $text == "${ESC}[0;31mError: Error installing the application${ESC}[0m ${ESC}[0;31mError: There is no unpacked build to install: $UNPACKED/ is missing. The package manager unpacks it before it runs --install; install the package again.${ESC}[0m" ]] ||
      fail "unexpected error output: $text"
    [[ ! -e $E2E_CURRENT_LINK ]] || fail "a failed first install made install-current"
    ;;
  *) fail "unknown case $case" ;;
esac
