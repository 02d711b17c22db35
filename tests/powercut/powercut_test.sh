#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Power-cut safety. The product trees lie on a loop-mounted file-system image (disk.sh);
# one run per state-changing system call cuts the power right after the N-th such call of
# the process that makes it (the command, or with strace -f a program it runs): every
# process stops, the image is copied as it is, and the copy, its journal replayed, is the
# disk after the reboot. Then the step that an administrator or the boot takes next must
# succeed and leave the same product files as an uninterrupted run: nothing lost, reset,
# emptied or truncated, no patch half laid, no link naming a missing patch, and the boot's
# start runs exactly one server, of the patch that install-current names.
#
#   powercut_test.sh SCENARIO FS
#
# SCENARIO: install-first, install-upgrade (a new version over a running product),
# install-again (the installed version in place), chain-success (the start's upgrade
# chain), chain-rollback (a new version whose server fails), uninstall, dpkg-first
# (dpkg --install of the test package, nothing installed; in a sandbox with --init sysv,
# the packaging environment of the tests).
# FS: ext4, xfs or btrfs.
#
# LAUNCHER_POWERCUT_EVERY=k tries only every k-th cut point (default 1: all of them);
# LAUNCHER_POWERCUT_POINT="NAME N" only the cut after the N-th call NAME.
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/upgrade_lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/disk.sh"
require_sandbox

scenario=${1:?usage: powercut_test.sh SCENARIO FS}
fs=${2:?usage: powercut_test.sh SCENARIO FS}
every=${LAUNCHER_POWERCUT_EVERY:-1}
only=${LAUNCHER_POWERCUT_POINT:-}
export LANG=C
readonly label="$scenario on $fs"

readonly syscalls=symlink,symlinkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,fsync,fdatasync,syncfs,execve,chmod,fchmod,fchmodat
BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
readonly BUILD_VERSION
# What the scenario's command is, and what runs after the reboot.
command=() next=() follow=-f

case $scenario in
  dpkg-*)
    source "$(dirname "${BASH_SOURCE[0]}")/../e2e/service_lib.sh"
    [[ $(init_system) == sysv ]] || fail "the $scenario scenario runs in a sandbox with --init sysv"
    read -r -a package_versions <<<"${LAUNCHER_LIFECYCLE_VERSIONS:-}"
    ((${#package_versions[@]} >= 2)) || fail "LAUNCHER_LIFECYCLE_VERSIONS must name the test packages' versions"
    # The version that the package installs, and the deb of VERSION.
    package_version=${package_versions[1]}
    deb_of() { printf '%s/tarn_%s_%s.deb' "$LAUNCHER_LIFECYCLE_PACKAGES_DIR" "$1" "$(dpkg --print-architecture)"; }
    [[ -f $(deb_of "$package_version") ]] || fail "$(deb_of "$package_version") is missing (target lifecycle_packages)"
    use_service_manager
    # The failure report shows the last package step's output and the last start's.
    OUT=$E2E_SCRATCH/package.out ERR=$E2E_SCRATCH/boot.out
    : >"$OUT"
    : >"$ERR"
    ;;
esac

disk_require "$fs"
disk_prove

# The base image: the product as the scenario finds it.
disk_mount_base
case $scenario in
  install-first)
    mkdir -p /var/opt/brevantis/sentrel
    printf '3f2504e0-4f89-11d3-9a0c-0305e82c3301' >/var/opt/brevantis/sentrel/install_id
    ;;
  install-upgrade | install-again)
    install_product a "$([[ $scenario == install-upgrade ]] && echo 12.4.0.1 || echo "$BUILD_VERSION")"
    sed -i 's|<ScanArchives>no</ScanArchives>|<ScanArchives>yes</ScanArchives>|' \
      "$PATCH_DIR/var/opt/brevantis/tarn/private/storage/appSettings.xml"
    printf 'Scan=full\n' >"$PATCH_DIR/var/opt/brevantis/tarn/private/exported_settings.ini"
    printf 'ExecArgMax=65536\n' >>"$E2E_TARN_VAR/common/tarn.ini"
    printf '3F2504E0-4F89-11D3-9A0C-0305E82C3301' >"$E2E_TARN_VAR/common/pcid"
    run_launcher
    expect_status 0
    ;;
  chain-success | chain-rollback)
    lay_upgrade
    [[ $scenario == chain-success ]] || break_wdserver "$E2E_TARN_VAR/b" "the new server cannot start"
    ;;
  uninstall)
    install_product a "$BUILD_VERSION"
    run_launcher
    expect_status 0
    ;;
  dpkg-*)
    # dpkg's database and /etc (the groups, the init script and its boot links, the
    # package's logrotate rule) are on the disk too.
    disk_hold /var/lib/dpkg /etc
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
case $scenario in
  install-*)
    rm -rf -- "$E2E_TARN_VAR/install_$BUILD_VERSION"
    mkdir -p -- "$E2E_TARN_VAR"
    cp -a -- "$LAUNCHER_PATCH_TREE" "$E2E_TARN_VAR/install_$BUILD_VERSION"
    command=("$LAUNCHER" --install t1)
    next=("${command[@]}")
    ;;
  chain-*)
    # The launcher through its re-executions; the programs it runs are the product's.
    command=("$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher")
    follow=-
    ;;
  uninstall)
    command=("$LAUNCHER" --uninstall)
    next=("${command[@]}")
    ;;
  dpkg-*)
    command=(dpkg --install "$(deb_of "$package_version")")
    ;;
esac
disk_save_base
readonly system_snapshot=$DISK_DIR/system
mkdir -p "$system_snapshot"
# The files outside the image that the commands change come back as they were before each
# run: they stand for a disk that keeps them (the unit, the command links, the groups).
system_files=(/lib/systemd/system/tarn.service /usr/bin/tarn-setup /usr/bin/tarn-control
  /usr/bin/response /lib/systemd/system-sleep/tarn_hook.sh)
case $scenario in
  dpkg-*)
    # What the package unpacks outside the image (dpkg flushes each file before it renames).
    system_files+=(/usr/sbin/tarn-health /usr/share/doc/tarn /usr/share/lintian/overrides/tarn
      /usr/share/man/man8/launcher.8.gz /usr/share/man/man8/tarn-health.8.gz)
    ;;
  *) system_files+=(/etc/group /etc/gshadow /etc/init.d/tarn /etc/pm/sleep.d/74_tarn_hook.sh) ;;
esac
readonly system_files
for file in "${system_files[@]}"; do
  if [[ -e $file || -L $file ]]; then
    mkdir -p "$system_snapshot${file%/*}"
    cp -a -- "$file" "$system_snapshot$file"
  fi
done

restore_system() {
  local file
  for file in "${system_files[@]}"; do
    rm -rf -- "$file"
    if [[ -e $system_snapshot$file || -L $system_snapshot$file ]]; then
      cp -a -- "$system_snapshot$file" "$file"
    fi
  done
  # The logs too: the uninstall saves the trace under a name that an earlier run took.
  rm -rf -- "${E2E_TRACE_FILE%/*}"
  mkdir -p -- "${E2E_TRACE_FILE%/*}"
  : >"$E2E_TRACE_FILE"
}

# The product's files as later commands read them: every entry of the trees with its type
# and mode, a file's size and content, a link's target. Left out: events (each run adds its
# own), the lock file's holder, the temporary files of writers that the cut stopped (the
# next write of their target removes them) and the comments of ini files (the ini writer
# drops them, and a rerun that changes no value does not rewrite the file).
fingerprint() {
  # The maintainer script names a patch by the time of its installation, which is also the
  # installation's date; a first installation makes a new identity (its size stays).
  local package_rules=(-e 's/([0-9]+\.[0-9]+\.[0-9]+\.[0-9]+)_[0-9]{14}(-[0-9]+)?/\1_TAG/g'
    -e "s|^($E2E_TARN_VAR/common/install_date.txt md5) .*|\1 -|")
  [[ $scenario != dpkg-first ]] || package_rules+=(-e "s|^($E2E_TARN_VAR/common/pcid md5) .*|\1 -|")
  local skip=(\( -path "$E2E_TARN_VAR/common/offline-events" -o -name launcher.lock -o -name '*.tmp.??????' \) -prune -o)
  local file
  {
    find "${DISK_TREES[@]}" -mindepth 1 "${skip[@]}" \( -type f ! -name '*.ini' -printf '%p f %m %s\n' \) -o \
      \( -type f -printf '%p f %m\n' \) -o -printf '%p %y %m %l\n'
    find "${DISK_TREES[@]}" -mindepth 1 "${skip[@]}" -type f ! -name '*.ini' -exec md5sum {} + |
      sed 's/^\([^ ]*\)  \(.*\)$/\2 md5 \1/'
    while IFS= read -r -d '' file; do
      printf '%s values %s\n' "$file" "$(grep -v '^;' -- "$file" | md5sum)"
    done < <(find "${DISK_TREES[@]}" -mindepth 1 "${skip[@]}" -type f -name '*.ini' -print0)
    [[ $scenario != dpkg-* ]] || package_fingerprint
  } | if [[ $scenario == dpkg-* ]]; then
    sed -E "${package_rules[@]}"
  else
    cat
  fi | LC_ALL=C sort
}

# What the package and the product's installation own outside the product trees: dpkg's
# record of the package, the groups, the init script and its boot links, the logrotate rule.
package_fingerprint() {
  local group
  printf 'dpkg %s\n' "$(dpkg-query -W -f '${Status} ${Version}' tarn 2>&1)"
  # Not /etc/gshadow: groupadd replaces it after /etc/group, and a cut between the two
  # leaves a group without its shadow entry, which a rerun's "groupadd -f" does not add.
  for group in tarnadmin tarnuser tarnaudit notarn; do
    printf 'group %s %s\n' "$group" "$(grep -c "^$group:" /etc/group || true)"
  done
  find /etc/init.d /etc/rc[0-6S].d /etc/logrotate.d -name '*tarn' -printf '%p %y %m %l\n'
  md5sum /etc/logrotate.d/tarn
}

# The start at boot: the launcher as the service manager runs it, or for the package the
# service through the init script that it installed.
start_at_boot() {
  case $scenario in
    dpkg-*)
      STATUS=0
      service tarn start >"$ERR" 2>&1 || STATUS=$?
      ;;
    *) start_as_service_manager ;;
  esac
}

# Runs the boot's start and checks that exactly one server runs, of the current patch.
boot_runs_current() {
  local what=$1 pid current servers=()
  start_at_boot
  [[ $STATUS == 0 ]] || fail "the start at boot after $what exited with $STATUS: $(tail -n 3 "$ERR")"
  current=$(readlink -f "$E2E_CURRENT_LINK") || fail "no install-current after $what"
  [[ -d $current ]] || fail "install-current names the missing $current after $what"
  pid=$(<"$E2E_WDSERVER_PIDFILE") || fail "no pid file after the start at boot after $what"
  [[ $(readlink "/proc/$pid/exe" 2>/dev/null || true) == "$current/opt/brevantis/tarn/libexec/wdserver" ]] ||
    fail "after $what the running server ($pid) is not the one of $current"
  mapfile -t servers < <(pgrep -f "$E2E_TARN_VAR/.*/libexec/wdserver( |$)" || true)
  ((${#servers[@]} == 1)) || fail "after $what ${#servers[@]} servers run: ${servers[*]}"
}

# No link names a missing patch, and no patch directory is half laid.
links_whole() {
  local what=$1 link
  for link in "$E2E_TARN_VAR"/install-*; do
    [[ ! -L $link || -e $link ]] || fail "after $what $link names the missing $(readlink "$link")"
  done
}

# Runs the package tool COMMAND... after WHAT; it must succeed.
package_step() {
  local what=$1
  shift
  E2E_LAST_RUN="$* after $what"
  STATUS=0
  "$@" >"$OUT" 2>&1 || STATUS=$?
  [[ $STATUS == 0 ]] || fail "\"$*\" after $what exited with $STATUS: $(tail -n 5 "$OUT")"
}

# After the reboot an administrator lets dpkg finish what it had begun; a package left
# half-installed (an unpack cut short, which dpkg cannot finish on its own) or not yet
# installed is installed again.
packages_after_reboot() {
  local what=$1 state
  E2E_LAST_RUN="dpkg --configure -a after $what"
  STATUS=0
  dpkg --configure -a >"$OUT" 2>&1 || STATUS=$?
  state=$(dpkg-query -W -f '${Status} ${Version}' tarn 2>/dev/null || true)
  # It refuses only a package whose unpack was cut short.
  [[ $STATUS == 0 || $state == *" reinstreq "* || $state == *" half-installed "* ]] ||
    fail "dpkg --configure -a after $what exited with $STATUS, tarn $state: $(tail -n 5 "$OUT")"
  if [[ $state != "install ok installed $package_version" ]]; then
    reinstalled=$((reinstalled + 1))
    package_step "$what" "${command[@]}"
  fi
}

# What the step after the reboot does; the state it leaves is compared with the reference.
after_reboot() {
  local what=$1
  if [[ $scenario == dpkg-* ]]; then
    packages_after_reboot "$what"
    boot_runs_current "$what"
    links_whole "$what"
    fingerprint >"$DISK_DIR/state"
  elif ((${#next[@]})); then
    run_launcher "${next[@]:1}"
    [[ $STATUS == 0 ]] || fail "\"${next[*]:1}\" after $what exited with $STATUS: $(tail -n 3 "$ERR")"
    links_whole "$what"
    fingerprint >"$DISK_DIR/state"
    [[ $scenario == uninstall ]] || boot_runs_current "$what"
  else
    boot_runs_current "$what"
    links_whole "$what"
    fingerprint >"$DISK_DIR/state"
  fi
}

# Before each run: the product runs where the scenario finds it running.
prepare_run() {
  disk_mount_base
  restore_system
  case $scenario in
    install-upgrade | uninstall)
      run_launcher
      expect_status 0
      ;;
  esac
}

# The uninterrupted run: its calls are the cut points, its end the reference.
prepare_run
trace=$DISK_DIR/reference.strace
E2E_LAST_RUN="strace $follow ${command[*]}"
STATUS=0
options=(-qq)
[[ $follow == - ]] || options+=("$follow")
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace "${options[@]}" -o "$trace" -e trace="$syscalls" \
  "${command[@]}" >/dev/null 2>"$DISK_DIR/reference.err" || STATUS=$?
expect_status 0
disk_power_off
disk_power_on
after_reboot "the uninterrupted run"
mv -- "$DISK_DIR/state" "$DISK_DIR/reference"
disk_end_run

# Cut points: per system call, as many as the process that makes most of them makes (the
# first execve is strace's own start of the command).
declare -A counts=() most=()
while read -r pid name; do
  counts[$name.$pid]=$((${counts[$name.$pid]:-0} + 1))
done < <(if [[ $follow == - ]]; then sed -n 's/^\([a-z0-9_]*\)(.*/0 \1/p' "$trace"; else
  sed -n 's/^\([0-9]*\) *\([a-z0-9_]*\)(.*/\1 \2/p' "$trace"; fi)
for key in "${!counts[@]}"; do
  name=${key%.*}
  ((counts[$key] <= ${most[$name]:-0})) || most[$name]=${counts[$key]}
done

points=0 tried=0 reached=0 missed=() reinstalled=0
for name in $(printf '%s\n' "${!most[@]}" | sort); do
  for ((n = 1; n <= most[$name]; n++)); do
    points=$((points + 1))
    if [[ -n $only ]]; then
      [[ $only == "$name $n" ]] || continue
    else
      ((points % every == 0)) || continue
    fi
    tried=$((tried + 1))
    point="$name #$n"
    prepare_run
    E2E_LAST_RUN="power cut at $point"
    disk_cut "$follow" "$name" "$n" "${command[@]}"
    reached=$((reached + CUT_REACHED))
    ((CUT_REACHED)) || missed+=("$name#$n")
    after_reboot "the cut at $point"
    if ! cmp -s -- "$DISK_DIR/reference" "$DISK_DIR/state"; then
      cp -- "$DISK_DIR/state" "$E2E_SCRATCH/state-after-$name-$n"
      cp -- "$DISK_DIR/reference" "$DISK_DIR/reference.strace" "$DISK_DIR/cut.strace" "$E2E_SCRATCH/"
      fail "$(printf 'after the cut at %s the product files differ from an uninterrupted run:\n%s' "$point" \
        "$(diff "$DISK_DIR/reference" "$DISK_DIR/state" || true)")"
    fi
    disk_end_run
  done
done
printf '%s %s: %d of %d cut points tried, %d reached, %d s; not reached: %s\n' "$E2E_CASE" "$label" "$tried" \
  "$points" "$reached" "$SECONDS" "${missed[*]:-none}" >&2
[[ $scenario != dpkg-* ]] || printf '%s %s: dpkg --install run again after %d cuts\n' "$E2E_CASE" "$label" "$reinstalled" >&2
# Cut points come from the uninterrupted run; a run that never reaches its point proves nothing.
if ((reached * 10 < tried * 9)); then
  cp -- "$trace" "$E2E_SCRATCH/"
  fail "only $reached of $tried runs reached their cut point; not reached: ${missed[*]}"
fi
