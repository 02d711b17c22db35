#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The inner half of sandbox_test.sh, run inside the sandbox:
#
#   sandbox_inside_test.sh systemd|sysv MARKER
#
# Checks what a test finds inside (empty trees, PID 1, the network, recorded tools that are
# stand-ins or run for real, the helpers of lib.sh), then writes MARKER-named files,
# groups, packages and packet-filter chains into every place that a test may change and
# leaves processes running, so that the caller can prove that none of it reaches the host.
source "$(dirname -- "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

(($# == 2)) || fail "usage: $0 systemd|sysv MARKER"
flavour=$1
marker=$2

check_pid1() {
  local exe
  expect_eq "$flavour" "$LAUNCHER_SANDBOX_INIT" LAUNCHER_SANDBOX_INIT
  exe=$(readlink /proc/1/exe)
  case $flavour in
    systemd)
      expect_eq "$LAUNCHER_SANDBOX/init/lib/systemd/systemd" "$exe" "/proc/1/exe"
      expect_eq systemd "$(</proc/1/comm)" "/proc/1/comm"
      ;;
    sysv)
      expect_eq "$LAUNCHER_SANDBOX/init/sbin/init" "$exe" "/proc/1/exe"
      [[ $exe != *systemd* ]] || fail "/proc/1/exe is $exe, which looks like systemd"
      expect_eq init "$(</proc/1/comm)" "/proc/1/comm"
      ;;
    *) fail "unknown init flavour $flavour" ;;
  esac
}

check_environment() {
  # Set by the caller on the host; the sandbox passes the environment on.
  expect_eq "passed on" "${SANDBOX_TEST_CALLER_VARIABLE:-}" "caller's variable"
  expect_eq 0 "$EUID" "effective user id"
}

check_empty_trees() {
  local tree
  for tree in /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run; do
    expect_eq "" "$(ls -A -- "$tree")" "content of $tree"
    expect_eq tmpfs "$(stat -f -c %T -- "$tree")" "file system on $tree"
  done
  expect_eq /run "$(readlink -f /var/run)" "/var/run"
  [[ -d /usr/lib/systemd/system ]] || fail "/usr/lib/systemd/system is missing"
  [[ -d /usr/lib/modules ]] || fail "/usr/lib/modules is missing"
}

# Each tool, where its stand-in must be, and where no copy may remain.
readonly STANDIN_TABLE=(
  "systemctl /usr/bin /usr/sbin"
  "service /usr/sbin /usr/bin"
  "chkconfig /usr/sbin /usr/bin"
  "update-rc.d /usr/sbin /usr/bin"
  "groupadd /usr/sbin /usr/bin"
  "groupdel /usr/sbin /usr/bin"
  "iptables /usr/sbin /usr/bin"
  "ip6tables /usr/sbin /usr/bin"
  "semanage /usr/sbin /usr/bin"
  "semodule /usr/sbin /usr/bin"
  "semodule_package /usr/sbin /usr/bin"
  "restorecon /usr/sbin /usr/bin"
  "matchpathcon /usr/sbin /usr/bin"
  "checkmodule /usr/bin /usr/sbin"
  "dpkg /usr/bin /usr/sbin"
  "rpm /usr/bin /usr/sbin"
)

# Recorded tools whose real program runs after the record.
readonly PASS_THROUGH_TOOLS=(service update-rc.d groupadd groupdel iptables ip6tables checkmodule
  semodule_package dpkg rpm)

check_standins_installed() {
  local entry name dir other tool
  for entry in "${STANDIN_TABLE[@]}"; do
    read -r name dir other <<<"$entry"
    [[ -x $dir/$name ]] || fail "no stand-in $dir/$name"
    expect_contains standin-tool "$dir/$name"
    [[ ! -e $other/$name ]] || fail "$other/$name is still there next to the stand-in $dir/$name"
  done
  # install-deps installs every one of them, so all are copied.
  for tool in "${PASS_THROUGH_TOOLS[@]}"; do
    [[ -x $LAUNCHER_SANDBOX/real/$tool ]] || fail "no real $tool in $LAUNCHER_SANDBOX/real"
  done
  expect_eq "${#PASS_THROUGH_TOOLS[@]}" "$(find "$LAUNCHER_SANDBOX/real" -type f | wc -l)" \
    "number of real tools"
  # The tools that the launcher uses for real stay real programs.
  for tool in /usr/bin/cp /usr/sbin/start-stop-daemon /usr/bin/sleep; do
    expect_eq $'\x7fELF' "$(head -c 4 -- "$tool")" "start of $tool"
  done
}

check_recording() {
  clear_calls
  # Without any environment, as the launcher may run tools.
  env -i /usr/bin/systemctl enable --now 'brevantis tarn.service' ''
  groupadd -r brevantis
  # The real iptables answers; only the record counts here (the kernel may lack the table).
  iptables -w -A INPUT -m comment --comment "managed by tarn" -j ACCEPT 2>/dev/null || true
  semanage-alias() { semanage "$@"; }
  semanage-alias -s "x;y" "quote'd" --field=Version,Status
  expect_file_eq "$(
    cat <<'EOF'
systemctl enable --now brevantis\ tarn.service ''
groupadd -r brevantis
iptables -w -A INPUT -m comment --comment managed\ by\ tarn -j ACCEPT
semanage -s x\;y quote\'d --field=Version,Status
EOF
  )"$'\n' "$LAUNCHER_SANDBOX/calls"
}

check_default_answers() {
  local answer status
  expect_eq FragmentPath=/lib/systemd/system/multi-user.target \
    "$(systemctl show -p FragmentPath multi-user.target)" "FragmentPath of multi-user.target"
  for tool in systemctl chkconfig semodule; do
    status=0
    answer=$("$tool" is-enabled something 2>&1) || status=$?
    expect_eq "0:" "$status:$answer" "default answer of $tool"
  done
}

check_hooks() {
  local scratch=$E2E_SCRATCH status=0
  standin_answer systemctl <<'EOF'
if [[ $1 == is-active ]]; then
  printf '<%s>' "$@"
  echo
  echo "unit is gone" >&2
  exit 3
fi
EOF
  clear_calls
  env -i /usr/bin/systemctl is-active 'tarn watchdog' >"$scratch/hook.out" 2>"$scratch/hook.err" ||
    status=$?
  expect_eq 3 "$status" "exit status answered by the hook"
  expect_file_eq $'<is-active><tarn watchdog>\n' "$scratch/hook.out"
  expect_file_eq $'unit is gone\n' "$scratch/hook.err"
  expect_file_eq $'systemctl is-active tarn\\ watchdog\n' "$LAUNCHER_SANDBOX/calls"
  # The hook now answers everything for systemctl, also what has a default answer.
  expect_eq "" "$(systemctl show -p FragmentPath multi-user.target)" "systemctl show through the hook"

  standin_remove chkconfig
  not command -v chkconfig >/dev/null
  [[ ! -e /usr/sbin/chkconfig && ! -e /usr/bin/chkconfig ]] || fail "chkconfig was not removed"
}

# Only the loopback interface, and it is up.
check_network() {
  expect_eq lo "$(ip -o link show | awk -F': ' '{ print $2 }')" "network interfaces"
  [[ $(ip -o link show dev lo) == *'<LOOPBACK,UP'* ]] || fail "lo is down: $(ip -o link show dev lo)"
}

# Pass-through tools are recorded and then answer for real, also when run with the
# launcher's bare environment; a hook still answers instead of the real tool.
check_real_tools() {
  local group=probe-$marker status output
  clear_calls
  env -i /usr/sbin/groupadd -r "$group"
  grep -q "^$group:" /etc/group || fail "the real groupadd did not create $group"
  groupdel "$group"
  status=0
  groupdel "$group" 2>"$E2E_SCRATCH/groupdel.err" || status=$?
  expect_eq 6 "$status" "exit status of the real groupdel for a missing group"
  expect_eq "" "$(env -i /usr/bin/rpm -qa)" "packages in a fresh rpm database"
  [[ -f /var/lib/rpm/rpmdb.sqlite ]] || fail "rpm keeps its database elsewhere than /var/lib/rpm"
  [[ $(dpkg -s dpkg) == *"Status: install ok installed"* ]] || fail "the real dpkg does not know dpkg"
  expect_file_eq "groupadd -r $group"$'\n'"groupdel $group"$'\n'"groupdel $group"$'\n'$'rpm -qa\ndpkg -s dpkg\n' \
    "$LAUNCHER_SANDBOX/calls"

  standin_answer groupadd <<'EOF'
echo "hooked $*"
exit 9
EOF
  status=0
  output=$(groupadd -r "$group") || status=$?
  expect_eq "9:hooked -r $group" "$status:$output" "groupadd answered by its hook"
  not grep -q "^$group:" /etc/group
  rm -f -- "$LAUNCHER_SANDBOX/answers/groupadd"
}

check_product_helpers() {
  local parent
  lay_current_patch "old-$marker"
  lay_current_patch "patch-$marker"
  expect_eq "/var/opt/brevantis/tarn/patch-$marker" "$(readlink /var/opt/brevantis/tarn/install-current)" \
    "install-current"
  [[ -d $PATCH_DIR/opt/brevantis/tarn/libexec ]] || fail "no libexec in $PATCH_DIR"

  # shellcheck disable=SC2119 # The default patch root is what is tested here.
  start_fake_wdserver
  expect_file_eq "$WDSERVER_PID"$'\n' /var/run/wdserver.pid
  expect_eq "$PATCH_DIR/opt/brevantis/tarn/libexec/wdserver" "$(readlink "/proc/$WDSERVER_PID/exe")" \
    "executable of the fake wdserver"
  parent=$(ps -o ppid= -p "$WDSERVER_PID")
  expect_eq 1 "${parent// /}" "parent of the fake wdserver"
}

# run_launcher keeps each run's output and status and never fails itself; expect_status
# compares the status.
check_run_launcher() {
  local LAUNCHER=$E2E_SCRATCH/fake-launcher first_out
  # shellcheck disable=SC2016 # Expanded by the fake launcher.
  printf '#!/bin/sh\necho "out $*"\necho "err $#" >&2\nexit "$1"\n' >"$LAUNCHER"
  chmod 0755 -- "$LAUNCHER"
  run_launcher 3 'two words'
  expect_status 3
  expect_file_eq $'out 3 two words\n' "$OUT"
  expect_file_eq $'err 2\n' "$ERR"
  first_out=$OUT
  run_launcher 0
  expect_status 0
  expect_file_eq $'out 0\n' "$OUT"
  expect_file_eq $'out 3 two words\n' "$first_out"
  # A mismatch fails the test (here only the subshell) and shows the run's output.
  if (expect_status 5) 2>"$E2E_SCRATCH/mismatch.err"; then
    fail "expect_status 5 accepted status 0"
  fi
  expect_contains "expected 5, actual 0" "$E2E_SCRATCH/mismatch.err"
  expect_contains "out 0" "$E2E_SCRATCH/mismatch.err"
}

# Writes into every tree and overlay; sandbox_test.sh checks that none of it is on the host.
write_everywhere() {
  local tree
  for tree in /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run; do
    echo "$marker" >"$tree/$marker"
  done
  echo "$marker" >"/var/run/$marker.pid"
  echo "$marker" >"/etc/$marker"
  mkdir -p /etc/init.d /etc/systemd/system
  echo "$marker" >"/etc/init.d/$marker"
  echo "$marker" >"/etc/systemd/system/$marker.service"
  # /etc/os-release may be a link into /usr/lib; write through it, then replace it.
  printf 'ID=%s\n' "$marker" >/etc/os-release
  rm -f /etc/os-release
  printf 'ID=%s\n' "$marker" >/etc/os-release
  rm -f /etc/debian_version
  cp /bin/true "/usr/bin/$marker"
  cp /bin/true "/usr/sbin/$marker"
  echo "$marker" >>/usr/bin/dpkg
  mkdir -p "/usr/lib/modules/$marker/extra"
  echo "$marker" >"/lib/modules/$marker/extra/$marker.ko"
  echo "$marker" >"/usr/lib/systemd/system/$marker.service"
  echo "$marker" >"/lib/systemd/system/$marker-lib.service"
  echo "$marker" >"/var/lib/$marker"
  echo "$marker" >"/var/tmp/$marker"
  echo "$marker" >"/usr/share/$marker"
  leave_system_changes
}

# A group, packet-filter chains and a package in each package database, made with the real
# tools.
leave_system_changes() {
  local table build=$E2E_SCRATCH/packages
  groupadd -r "$marker"
  if iptables -t mangle -S >/dev/null 2>&1 && ip6tables -t mangle -S >/dev/null 2>&1; then
    for table in filter mangle; do
      iptables -t "$table" -N "$marker"
      iptables -t "$table" -A OUTPUT -j "$marker"
      ip6tables -t "$table" -N "$marker"
    done
  else
    echo "$E2E_CASE: note: the kernel lacks the packet filter tables; no chains left" >&2
  fi

  mkdir -p -- "$build/deb/DEBIAN" "$build/deb/usr/lib/$marker"
  printf 'Package: %s\nVersion: 1.0\nArchitecture: all\nMaintainer: Sandbox Test <test@example.invalid>\nDescription: sandbox test package\n' \
    "$marker" >"$build/deb/DEBIAN/control"
  echo "$marker" >"$build/deb/usr/lib/$marker/file"
  dpkg-deb --build "$build/deb" "$build/$marker.deb" >/dev/null
  dpkg -i "$build/$marker.deb" >/dev/null
  [[ $(dpkg -s "$marker") == *"Status: install ok installed"* ]] || fail "dpkg did not install $marker"

  printf '%s\n' "Name: $marker" "Version: 1.0" "Release: 1" "Summary: sandbox test package" \
    "License: none" "BuildArch: noarch" "%description" "sandbox test package" "%files" \
    >"$build/$marker.spec"
  rpmbuild -bb --quiet --define "_topdir $build/rpmbuild" "$build/$marker.spec" >/dev/null
  rpm -i "$build/rpmbuild/RPMS/noarch/$marker-1.0-1.noarch.rpm" 2>/dev/null
  rpm -q "$marker" >/dev/null
}

# Leaves a daemon behind that ignores the usual termination signals.
leave_daemon_running() {
  local attempt
  # shellcheck disable=SC2016 # Expanded by the inner shell.
  setsid bash -c 'trap "" TERM HUP INT; exec -a "$0" sleep 600' "leftover-$marker" \
    </dev/null >/dev/null 2>&1 &
  for ((attempt = 0; attempt < 500; attempt++)); do
    pgrep -f "^leftover-$marker" >/dev/null && return 0
    sleep 0.01
  done
  fail "the leftover daemon did not start"
}

check_pid1
check_environment
check_empty_trees
check_standins_installed
check_recording
check_default_answers
check_hooks
check_network
check_real_tools
check_product_helpers
check_run_launcher
write_everywhere
leave_daemon_running
