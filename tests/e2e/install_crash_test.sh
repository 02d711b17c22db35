#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# An interrupted install can be run again, as package managers do after a failure. The
# install and every program it runs are traced (strace -f); one run per state-changing
# system call kills the process that makes its N-th call of that kind with SIGKILL (strace
# counts calls per process: the launcher killed, or the cp, groupadd or tool it runs, which
# fails the install). Then the same install runs again: it must succeed and leave the same
# files as an uninterrupted run (state links, live ini, agreements, PCID, upgrade.json,
# dates, the new patch's tree, the service registration, no half-laid directory).
#
#   install_crash_test.sh first|upgrade
#
# LAUNCHER_CRASH_EVERY=k tries only every k-th kill point (default 1: all of them).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

scenario=${1:?usage: install_crash_test.sh first|upgrade}
every=${LAUNCHER_CRASH_EVERY:-1}
command -v strace >/dev/null || skip "strace is not installed"
strace -qq -o /dev/null -e trace=none true 2>/dev/null || skip "strace cannot trace here"

# The leak checker stops the world with ptrace, which a traced process cannot: off under strace.
readonly traced_asan=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
readonly syscalls=symlink,symlinkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,fsync,fdatasync,execve,clone,clone3,fork,vfork,chmod,fchmod,fchmodat
readonly snapshot=$E2E_SCRATCH/snapshot
# The system files an install changes besides the product's variable directory.
readonly system_files=(/etc/group /etc/gshadow /lib/systemd/system/tarn.service /usr/bin/tarn-control
  /usr/bin/response /lib/systemd/system-sleep/tarn_hook.sh)
BUILD_VERSION=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
readonly BUILD_VERSION
readonly PATCH=$E2E_TARN_VAR/${BUILD_VERSION}_t1
readonly PRIVATE=$PATCH/var/opt/brevantis/tarn/private
export LANG=C

save_state() {
  local file
  mkdir -p "$snapshot/system"
  cp -a /var/opt/brevantis "$snapshot/var"
  for file in "${system_files[@]}"; do
    if [[ -e $file || -L $file ]]; then
      mkdir -p "$snapshot/system${file%/*}"
      cp -a -- "$file" "$snapshot/system$file"
    fi
  done
}

restore_state() {
  local file
  # The product trees are mount points: their content is replaced, not they.
  find /var/opt/brevantis -mindepth 1 -maxdepth 1 -exec rm -rf -- {} +
  cp -a "$snapshot/var/." /var/opt/brevantis/
  for file in "${system_files[@]}"; do
    rm -f -- "$file"
    if [[ -e $snapshot/system$file || -L $snapshot/system$file ]]; then
      cp -a -- "$snapshot/system$file" "$file"
    fi
  done
  : >"$E2E_TRACE_FILE"
}

show() {
  if [[ -L $1 ]]; then
    printf '%s -> %s\n' "$1" "$(readlink "$1")"
  elif [[ -f $1 ]]; then
    printf '%s:\n' "$1"
    # Comments are no state: the ini writer drops them, and a rerun may not rewrite a file.
    grep -v '^;' -- "$1" || true
    printf '\n'
  else
    printf '%s: none\n' "$1"
  fi
}

# The state an install leaves, as later commands read it. Events and traces are left out:
# each run adds its own.
fingerprint() {
  local file
  find "$E2E_TARN_VAR" -mindepth 1 -maxdepth 1 -printf '%f %y\n' | sort
  for file in "$E2E_TARN_VAR"/install-{current,upgrade,previous,failed} "$E2E_TARN_VAR"/common/{tarn.ini,agreements.ini,pcid,install_date.txt} \
    "$PRIVATE"/{upgrade.json,upgrade_date.txt,storage/appSettings.xml,exported_settings.ini} \
    /lib/systemd/system/tarn.service; do
    show "$file"
  done
  find "$PATCH" -printf '%P %y %s %m\n' | sort
  grep -E '^(tarnadmin|tarnuser|tarnaudit|notarn):' /etc/group | cut -d: -f1
}

run_install() {
  run_launcher --install t1
}

rm -rf -- "$E2E_TARN_VAR/install_$BUILD_VERSION"
mkdir -p "$E2E_TARN_VAR"
cp -a -- "$LAUNCHER_PATCH_TREE" "$E2E_TARN_VAR/install_$BUILD_VERSION"
case $scenario in
  first)
    # An identity the agent left, so that every run installs the same one.
    mkdir -p /var/opt/brevantis/sentrel
    printf '3f2504e0-4f89-11d3-9a0c-0305e82c3301' >/var/opt/brevantis/sentrel/install_id
    ;;
  upgrade)
    install_product a 12.4.0.1
    sed -i 's|<ScanArchives>no</ScanArchives>|<ScanArchives>yes</ScanArchives>|' \
      "$PATCH_DIR/var/opt/brevantis/tarn/private/storage/appSettings.xml"
    printf 'events\n' >"$PATCH_DIR/var/opt/brevantis/tarn/private/storage/events.db"
    printf 'Scan=full\n' >"$PATCH_DIR/var/opt/brevantis/tarn/private/exported_settings.ini"
    printf 'ExecArgMax=65536\n' >>"$E2E_TARN_VAR/common/tarn.ini"
    printf '3F2504E0-4F89-11D3-9A0C-0305E82C3301' >"$E2E_TARN_VAR/common/pcid"
    ;;
  *) fail "unknown scenario $scenario" ;;
esac
save_state

# The uninterrupted run: its calls are the kill points, its files the reference.
trace=$E2E_SCRATCH/reference.strace
E2E_LAST_RUN="strace -f $LAUNCHER --install t1"
STATUS=0
OUT=$E2E_SCRATCH/reference.out ERR=$E2E_SCRATCH/reference.err
ASAN_OPTIONS=$traced_asan strace -f -qq -o "$trace" -e trace="$syscalls" "$LAUNCHER" --install t1 \
  >"$OUT" 2>"$ERR" || STATUS=$?
expect_status 0
reference=$(fingerprint)
restore_state
run_install
expect_status 0
expect_eq "$reference" "$(fingerprint)" "state of an untraced run"

# Kill points: per system call, as many as the process that makes most of them makes.
declare -A counts=()
while read -r pid name; do
  counts[$name.$pid]=$((${counts[$name.$pid]:-0} + 1))
done < <(sed -n 's/^\([0-9]*\) *\([a-z0-9_]*\)(.*/\1 \2/p' "$trace")
declare -A most=()
for key in "${!counts[@]}"; do
  name=${key%.*}
  ((counts[$key] <= ${most[$name]:-0})) || most[$name]=${counts[$key]}
done

points=0 tried=0 launcher_killed=0 child_killed=0
for name in $(printf '%s\n' "${!most[@]}" | sort); do
  for ((n = 1; n <= most[$name]; n++)); do
    points=$((points + 1))
    ((points % every == 0)) || continue
    tried=$((tried + 1))
    restore_state
    E2E_LAST_RUN="strace -f kill at $name #$n"
    killed_status=0
    # The shell reports a job ended by a signal on its own standard error.
    exec 3>&2 2>/dev/null
    ASAN_OPTIONS=$traced_asan strace -f -qq -o /dev/null -e trace="$name" \
      -e inject="$name:signal=KILL:when=$n" "$LAUNCHER" --install t1 >/dev/null 2>&1 || killed_status=$?
    exec 2>&3 3>&-
    # 137: the launcher was killed; 1: a program it ran was, and the install failed.
    case $killed_status in
      137) launcher_killed=$((launcher_killed + 1)) ;;
      1) child_killed=$((child_killed + 1)) ;;
    esac
    run_install
    [[ $STATUS == 0 ]] || fail "the install after the kill at $name #$n exited with $STATUS: $(tail -n 3 "$ERR")"
    actual=$(fingerprint)
    [[ $actual == "$reference" ]] ||
      fail "$(printf 'after the kill at %s #%d the state differs from an uninterrupted run:\n%s' "$name" "$n" \
        "$(diff <(printf '%s\n' "$reference") <(printf '%s\n' "$actual") || true)")"
  done
done
printf '%s: %s, %d of %d kill points tried: %d killed the launcher, %d a program it ran\n' \
  "$E2E_CASE" "$scenario" "$tried" "$points" "$launcher_killed" "$child_killed" >&2
# Kill points come from the uninterrupted run; a run that never reaches its point proves nothing.
(((launcher_killed + child_killed) * 10 >= tried * 9)) ||
  fail "only $((launcher_killed + child_killed)) of $tried runs were killed at their point"
