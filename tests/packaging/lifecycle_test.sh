#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The product's life through the real package managers, with the test packages of four
# versions (the third one's watchdog server fails to start), once with dpkg and once with
# rpm, on the init system that the sandbox shows:
#   1. the first version's installation fails after the copy (group creation) and is
#      continued: dpkg --configure --pending with the same tag; rpm by installing again;
#   2. the second version upgrades the running product, with its identity and settings;
#   3. the third version fails to start and the product rolls back to the second;
#   4. the fourth version installs after the rollback, although the maintainer script's
#      launcher is killed in the middle: dpkg --configure --pending (rpm: installing again)
#      completes it;
#   5. (dpkg) a removal without purge, then the same version installed again: the service
#      is back and starts the product;
#   6. the removal uninstalls and keeps the data, also with the package's unpacked files
#      deleted beforehand; the purge (dpkg) removes it, as the erase (rpm) did already:
#      nothing of the product is left.
# Under SysV init the real service and update-rc.d run the init script; under systemd the
# real systemd runs the installed unit.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/service_lib.sh"
require_sandbox

read -r -a VERSIONS <<<"${LAUNCHER_LIFECYCLE_VERSIONS:-}"
((${#VERSIONS[@]} == 4)) || fail "LAUNCHER_LIFECYCLE_VERSIONS must name four versions"
[[ ${LAUNCHER_LIFECYCLE_FAILING_VERSION:-} == "${VERSIONS[2]}" ]] ||
  fail "the third version must be the one whose watchdog server fails"
readonly CURRENT_LAUNCHER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher
init=$(init_system)
readonly init

# The build's launcher tells whether it has the commands that the package scripts run (in
# this empty sandbox neither can change anything).
has_command() {
  local output
  output=$("$LAUNCHER" "$@" 2>&1 || true)
  [[ $output != *"command is not available in this build"* ]]
}
has_command --install probe || skip "the launcher of this build has no install command yet"
has_command --uninstall || skip "the launcher of this build has no uninstall command yet"
: >"$E2E_TRACE_FILE"

# Runs the package tool for ACTION (install, continue, remove, purge) on FORMAT's package
# of VERSION. Sets STATUS; the output goes to $TOOL_OUT.
TOOL_OUT=$E2E_SCRATCH/tool.out
package() {
  local format=$1 action=$2 version=${3:-} command=()
  if [[ -n $version ]]; then
    find_packages "$version" "$LAUNCHER_LIFECYCLE_PACKAGES_DIR"
  fi
  case $format:$action in
    deb:install) command=(dpkg --install "$DEB") ;;
    deb:continue) command=(dpkg --configure --pending) ;;
    deb:remove) command=(dpkg --remove tarn) ;;
    deb:purge) command=(dpkg --purge tarn) ;;
    # Its database here holds none of the system's packages: no dependency checks.
    rpm:install) command=(rpm --upgrade --nodeps "$RPM") ;;
    # rpm runs a failed %post only with the package installed again.
    rpm:continue) command=(rpm --upgrade --replacepkgs --nodeps "$RPM") ;;
    rpm:remove) command=(rpm --erase --nodeps tarn) ;;
    rpm:purge) command=(true) ;;
    *) fail "package: no $action for $format" ;;
  esac
  STATUS=0
  printf '$ %s\n' "${command[*]}" >>"$E2E_SCRATCH/tools.log"
  "${command[@]}" >"$TOOL_OUT" 2>&1 || STATUS=$?
  cat -- "$TOOL_OUT" >>"$E2E_SCRATCH/tools.log"
}

expect_package_status() {
  local expected=$1 what=$2
  [[ $STATUS == "$expected" ]] ||
    fail "$(printf '%s: exit status %s, expected %s; output:\n%s' "$what" "$STATUS" "$expected" "$(cat "$TOOL_OUT")")"
}

start_service() {
  local command=(systemctl start tarn)
  [[ $init == systemd ]] || command=(service tarn start)
  "${command[@]}" >>"$E2E_SCRATCH/tools.log" 2>&1 || fail "${command[*]} failed"
}

link_target() {
  if [[ -L $PRODUCT_VAR/install-$1 ]]; then
    readlink -- "$PRODUCT_VAR/install-$1"
  else
    echo -
  fi
}

# The patch directories of VERSION, one a line.
patches_of() {
  find "$PRODUCT_VAR" -mindepth 1 -maxdepth 1 -type d -name "${1}_*" | sort
}

# VERSION runs from its only patch directory, and no upgrade is pending.
expect_running() {
  local version=$1 patch
  patch=$(patches_of "$version")
  [[ -n $patch && $patch != *$'\n'* ]] || fail "expected one patch of $version, found: $patch"
  [[ ${patch##*/} =~ ^${version//./\\.}_[0-9]{14}(-[0-9]+)?$ ]] || fail "patch name ${patch##*/}"
  expect_eq "$patch - - -" "$(link_target current) $(link_target upgrade) $(link_target previous) $(link_target failed)" \
    "install-current, -upgrade, -previous and -failed"
  "$CURRENT_LAUNCHER" --status >/dev/null 2>&1 || fail "$version does not run"
  expect_contains $'\nProductVersion='"$version"$'\n' "$E2E_CURRENT_LINK/opt/brevantis/tarn/doc/manifest.ini"
  [[ -d $PRODUCT_VAR/install_$version ]] || fail "the package's files of $version are missing"
}

# The service manager acts on the product's service: under SysV the real service and
# update-rc.d (chkconfig removed, as on Debian); under systemd the real systemd.
use_service_manager

expect_service_registered() {
  if [[ $init == sysv ]]; then
    [[ -L /etc/init.d/tarn ]] || fail "/etc/init.d/tarn is not installed"
    compgen -G '/etc/rc2.d/S[0-9][0-9]tarn' >/dev/null || fail "tarn does not start at boot"
  else
    [[ -f $SERVICE_UNIT ]] || fail "the unit file is not installed"
    [[ -L $SERVICE_WANTS ]] || fail "the unit was not enabled"
  fi
}

expect_service_unregistered() {
  [[ ! -e /etc/init.d/tarn && ! -L /etc/init.d/tarn && ! -e $SERVICE_UNIT ]] ||
    fail "the service is still installed"
  ! compgen -G '/etc/rc[0-6S].d/[SK][0-9][0-9]tarn' >/dev/null || fail "tarn still starts at boot"
  [[ ! -L $SERVICE_WANTS ]] || fail "the unit is still enabled"
}

lifecycle() {
  local format=$1 v1=${VERSIONS[0]} v2=${VERSIONS[1]} v3=${VERSIONS[2]} v4=${VERSIONS[3]}
  local failed_patch group
  clear_calls

  # 1. The first installation fails after the copy, and is continued.
  standin_answer groupadd <<<'exit 1'
  package "$format" install "$v1"
  if [[ $format == deb ]]; then
    expect_package_status 1 "installation of $v1 with groupadd failing"
  else
    expect_contains "scriptlet failed" "$TOOL_OUT"
  fi
  failed_patch=$(patches_of "$v1")
  [[ -n $failed_patch ]] || fail "the failed installation made no patch directory"
  touch -- "$failed_patch/failed-installation"
  if [[ $format == deb ]]; then
    expect_eq "install ok half-configured" "$(dpkg-query -W -f '${Status}' tarn)" "dpkg's state"
  fi
  rm -f -- "$LAUNCHER_SANDBOX/answers/groupadd"
  package "$format" continue "$v1"
  expect_package_status 0 "continuing the installation of $v1 ($format)"
  if [[ $format == deb ]]; then
    # Continued in the same patch directory.
    expect_eq "$failed_patch" "$(link_target current)" "patch of the continued installation"
  else
    # A new unpack: a new installation, which abandoned the failed one's directory (the
    # new one may have its name, when made within the same second).
    [[ ! -e $failed_patch/failed-installation ]] || fail "the new unpack left the failed installation's patch"
  fi
  expect_service_registered
  for group in tarnadmin tarnuser tarnaudit notarn; do
    getent group "$group" >/dev/null || fail "group $group is missing"
  done
  start_service
  expect_running "$v1"
  clear_calls

  # 2. An upgrade of the running product carries the identity and the settings over: an
  #    administrator's key in the live ini and a changed product setting.
  local pcid settings=var/opt/brevantis/tarn/private/storage/appSettings.xml
  pcid=$(cat -- "$PRODUCT_VAR/common/pcid")
  [[ $pcid =~ ^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$ ]] || fail "PCID \"$pcid\""
  printf 'AdminKey=kept\n' >>"$PRODUCT_VAR/common/tarn.ini"
  sed -i 's|<ReportRetentionDays>30<|<ReportRetentionDays>45<|' -- "$E2E_CURRENT_LINK/$settings"
  expect_contains "<ReportRetentionDays>45<" "$E2E_CURRENT_LINK/$settings"
  package "$format" install "$v2"
  expect_package_status 0 "upgrade to $v2 ($format)"
  expect_running "$v2"
  expect_eq "" "$(patches_of "$v1")" "patches of $v1 after the upgrade"
  [[ ! -e $PRODUCT_VAR/install_$v1 ]] || fail "the package's files of $v1 are left"
  expect_file_eq "$pcid" "$PRODUCT_VAR/common/pcid"
  expect_contains $'\nAdminKey=kept' "$PRODUCT_VAR/common/tarn.ini"
  expect_contains "<ReportRetentionDays>45<" "$E2E_CURRENT_LINK/$settings"

  # 3. A version that fails to start: the product rolls back and keeps running.
  package "$format" install "$v3"
  expect_package_status 0 "upgrade to $v3 ($format)"
  "$CURRENT_LAUNCHER" --status >/dev/null 2>&1 || fail "nothing runs after the rollback"
  expect_eq "$(patches_of "$v2")" "$(link_target current)" "install-current after the rollback"
  expect_eq "$(patches_of "$v3")" "$(link_target failed)" "install-failed after the rollback"
  expect_contains "Upgrade state changed RollingBack -> RolledBack" "$E2E_TRACE_FILE"
  # The package tool's output tells the administrator.
  expect_console_contains \
    "Warning: the upgrade to version $v3 failed to start and was rolled back; version $v2 runs." \
    "$TOOL_OUT"

  # 4. The next version after the rollback, whose maintainer script's launcher is killed
  #    after it laid the patch: the package tool's rerun completes the upgrade; the failed
  #    and the previous patch go.
  standin_answer groupadd <<'ANSWER'
rm -f -- "$0"
kill -KILL "$PPID"
exit 1
ANSWER
  package "$format" install "$v4"
  [[ ! -e $LAUNCHER_SANDBOX/answers/groupadd ]] || fail "the $v4 installation created no group"
  if [[ $format == deb ]]; then
    expect_package_status 1 "upgrade to $v4 with its launcher killed ($format)"
    expect_eq "install ok half-configured" "$(dpkg-query -W -f '${Status}' tarn)" "dpkg's state"
  else
    # rpm only warns about a failed %post.
    expect_contains "scriptlet failed" "$TOOL_OUT"
  fi
  "$CURRENT_LAUNCHER" --status >/dev/null 2>&1 || fail "$v2 stopped when the $v4 installation was killed"
  package "$format" continue "$v4"
  expect_package_status 0 "completing the upgrade to $v4 ($format)"
  expect_running "$v4"
  expect_eq "" "$(patches_of "$v2")$(patches_of "$v3")" "patches of $v2 and $v3"

  # 5. (dpkg) Removed without purge and installed again: the service comes back and the
  #    product starts through it, with its identity.
  if [[ $format == deb ]]; then
    package deb remove
    expect_package_status 0 "removal before the reinstallation"
    expect_service_unregistered
    package deb install "$v4"
    expect_package_status 0 "installation of $v4 after its removal"
    expect_service_registered
    start_service
    expect_running "$v4"
    expect_file_eq "$pcid" "$PRODUCT_VAR/common/pcid"
  fi

  # 6. The removal stops and unregisters the product and keeps its data, even when an
  #    administrator deleted the package's unpacked files; the purge does not keep it.
  rm -rf -- "${PRODUCT_VAR:?}/install_$v4"
  package "$format" remove
  expect_contains "install_$v4/opt/brevantis/tarn/libexec/launcher is missing; uninstalling with" "$TOOL_OUT"
  expect_package_status 0 "removal ($format)"
  not "$CURRENT_LAUNCHER" --status >/dev/null 2>&1
  [[ ! -e $E2E_WDSERVER_PIDFILE ]] || fail "the watchdog server's pid file outlived the removal"
  expect_service_unregistered
  for group in tarnadmin tarnuser tarnaudit notarn; do
    not getent group "$group" >/dev/null
  done
  [[ ! -e $PRODUCT_VAR/install_$v4 ]] || fail "the removal left the package's files"
  if [[ $format == deb ]]; then
    [[ -f $PRODUCT_VAR/common/tarn.ini ]] || fail "the removal took the product's configuration"
  fi
  package "$format" purge
  expect_package_status 0 "purge ($format)"
  for tree in "$PRODUCT_VAR" /etc/opt/brevantis/tarn /var/log/brevantis/tarn /opt/brevantis/tarn \
    /usr/bin/tarn-setup /usr/bin/tarn-control /usr/bin/response; do
    [[ ! -e $tree && ! -L $tree ]] || fail "$tree is left after the $format purge"
  done
  expect_service_unregistered
  if iptables -S | grep -qi tarn || ip6tables -S | grep -qi tarn; then
    fail "packet filter rules of the product are left: $(iptables -S; ip6tables -S)"
  fi
}

for format in deb rpm; do
  lifecycle "$format"
done
