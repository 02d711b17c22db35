#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Crash safety of the start-time upgrade chain. The launcher that runs the chain (one
# process through its re-executions) is killed with SIGKILL at each of its state-changing
# system calls in turn (strace counts calls per system call: the N-th rename, the N-th
# symlink and so on); then the machine "reboots" (product processes gone, /var/run empty)
# and the service manager runs start once. Every run must end as the old product or the
# new one: the links decode to Installed on b or to RolledBack, the server of the patch the
# links name runs, no link dangles, and upgrade.json and the live ini are byte-identical to
# those of an uninterrupted run with the same end.
#
#   crash_test.sh success|rollback
#
# LAUNCHER_CRASH_EVERY=k tries only every k-th kill point (default 1: all of them).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/upgrade_lib.sh"
require_sandbox

chain=${1:?usage: crash_test.sh success|rollback}
every=${LAUNCHER_CRASH_EVERY:-1}
command -v strace >/dev/null || skip "strace is not installed"
strace -qq -o /dev/null -e trace=none true 2>/dev/null || skip "strace cannot trace here"

# The leak checker stops the world with ptrace, which a traced process cannot: off under strace.
readonly traced_asan=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
readonly syscalls=symlink,symlinkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,fsync,fdatasync,execve,clone,clone3,fork,vfork,kill
readonly snapshot=$E2E_SCRATCH/snapshot
# Outside the product trees the chain changes the command links, the sleep hook and the
# service unit (rewritten only when it differs: a run left with the new unit would skip it).
readonly system_files=(/usr/bin/tarn-setup /usr/bin/tarn-control /usr/bin/response
  /lib/systemd/system-sleep/tarn_hook.sh /lib/systemd/system/tarn.service /etc/init.d/tarn
  /etc/pm/sleep.d/74_tarn_hook.sh)

# Everything the chain may change, saved once laid and put back before each run.
save_state() {
  mkdir -p "$snapshot/files"
  cp -a "$E2E_TARN_VAR" "$snapshot/var"
  local file
  for file in "${system_files[@]}"; do
    if [[ -L $file || -e $file ]]; then
      mkdir -p -- "$snapshot/files${file%/*}"
      cp -a -- "$file" "$snapshot/files$file"
    fi
  done
  return 0
}

# The reboot: no product process survives, /var/run starts empty.
reboot_machine() {
  local pid exe
  for exe in /proc/[0-9]*/exe; do
    pid=${exe#/proc/}
    pid=${pid%/exe}
    if [[ $(readlink "$exe" 2>/dev/null || true) == "$E2E_TARN_VAR"/* ]]; then
      kill -KILL "$pid" 2>/dev/null || true  # it may have ended meanwhile
    fi
  done
  for ((attempt = 0; attempt < 200; attempt++)); do
    pgrep -f "$E2E_TARN_VAR/.*/libexec/(wdserver|tarn-starter|tarn)( |$)" >/dev/null || break
    sleep 0.01
  done
  rm -f /var/run/wdserver.pid /var/run/wdserver.sock
}

restore_state() {
  reboot_machine
  rm -rf -- "$E2E_TARN_VAR" "${system_files[@]}"
  cp -a "$snapshot/var" "$E2E_TARN_VAR"
  local file
  for file in "${system_files[@]}"; do
    if [[ -L $snapshot/files$file || -e $snapshot/files$file ]]; then
      cp -a -- "$snapshot/files$file" "$file"
    fi
  done
  : >"$E2E_TRACE_FILE"
}

target() {
  if [[ -L $E2E_TARN_VAR/install-$1 ]]; then readlink "$E2E_TARN_VAR/install-$1"; else echo -; fi
}

# "installed" or "rolledback" (failing the test for anything between), after checking the
# links, the running server and the files.
outcome() {
  local links end current pid
  links="$(target current) $(target upgrade) $(target previous) $(target failed)"
  [[ ! -e $E2E_TARN_VAR/upgrade.ini ]] || fail "upgrade.ini appeared"
  case $links in
    "$E2E_TARN_VAR/b - - -") end=installed ;;
    "$E2E_TARN_VAR/a $E2E_TARN_VAR/b - $E2E_TARN_VAR/b") end=rolledback ;;
    *) fail "the links are between the old and the new product: current upgrade previous failed = $links" ;;
  esac
  current=$(target current)
  [[ -d $current ]] || fail "install-current names the missing $current"
  [[ -e /usr/bin/tarn-setup ]] || fail "/usr/bin/tarn-setup is missing or dangles"
  [[ $(readlink -f /usr/bin/tarn-setup) == "$current"/* ]] ||
    fail "/usr/bin/tarn-setup names another patch than $current"
  pid=$(<"$E2E_WDSERVER_PIDFILE") || fail "no pid file after the start"
  [[ $(readlink "/proc/$pid/exe" 2>/dev/null || true) == "$current/opt/brevantis/tarn/libexec/wdserver" ]] ||
    fail "the running server ($pid) is not the one of $current"
  printf '%s' "$end"
}

# The files an interrupted run must leave as an uninterrupted one does.
fingerprint() {
  local json=$E2E_TARN_VAR/b/var/opt/brevantis/tarn/private/upgrade.json
  cat -- "$E2E_TARN_VAR/common/tarn.ini"
  printf -- '--\n'
  if [[ -f $json ]]; then cat -- "$json"; else echo "(no upgrade.json)"; fi
}

lay_upgrade
[[ $chain == rollback ]] && break_wdserver "$E2E_TARN_VAR/b" "the new server cannot start"
reboot_machine
save_state

# The uninterrupted run: its calls are the kill points, its files the reference.
trace=$E2E_SCRATCH/reference.strace
LAUNCHER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher
E2E_LAST_RUN="strace $LAUNCHER"
STATUS=0
ASAN_OPTIONS=$traced_asan strace -qq -o "$trace" -e trace="$syscalls" "$LAUNCHER" >/dev/null 2>&1 || STATUS=$?
expect_status 0
reference_end=$(outcome)
expect_eq "$([[ $chain == success ]] && echo installed || echo rolledback)" "$reference_end" "end of the uninterrupted run"
reference=$(fingerprint)

# strace counts no call before the launcher's own execve (its own code runs there): the
# first execve of the trace is not a kill point.
declare -A counts=()
while read -r name; do
  counts[$name]=$((${counts[$name]:-0} + 1))
done < <(sed -n '1{/^execve(/d};s/^\([a-z0-9_]*\)(.*/\1/p' "$trace")

points=0 tried=0 killed=0 missed=()
for name in "${!counts[@]}"; do
  for ((n = 1; n <= counts[$name]; n++)); do
    points=$((points + 1))
    ((points % every == 0)) || continue
    tried=$((tried + 1))
    restore_state
    E2E_LAST_RUN="strace kill at $name #$n"
    killed_status=0
    # The shell reports a job ended by a signal on its own standard error.
    exec 3>&2 2>/dev/null
    ASAN_OPTIONS=$traced_asan strace -qq -o /dev/null -e trace="$name" -e inject="$name:signal=KILL:when=$n" \
      "$LAUNCHER" >/dev/null 2>&1 || killed_status=$?
    exec 2>&3 3>&-
    # strace ends as the launcher did: by SIGKILL (137) when the kill point was reached.
    if ((killed_status == 137)); then
      killed=$((killed + 1))
    else
      missed+=("$name#$n")
      cp -- "$E2E_TRACE_FILE" "$E2E_SCRATCH/not-reached-$name-$n.log"
    fi
    reboot_machine
    run_launcher
    [[ $STATUS == 0 ]] || fail "start after the kill at $name #$n exited with $STATUS: $(tail -n 3 "$ERR")"
    end=$(outcome) || fail "after the kill at $name #$n"
    [[ $(fingerprint) == "$reference" || $end != "$reference_end" ]] ||
      fail "after the kill at $name #$n the files differ from the uninterrupted run's"
    if [[ $end != "$reference_end" ]]; then
      # Ended the other way: only a run killed before the new server started may roll back.
      [[ $chain == success ]] || fail "after the kill at $name #$n a failing upgrade ended installed"
    fi
  done
done
printf '%s: %s chain, %d of %d kill points tried, %d kills; not reached: %s\n' "$E2E_CASE" "$chain" "$tried" \
  "$points" "$killed" "${missed[*]:-none}" >&2
# Kill points come from the uninterrupted run; a run that never reaches its point proves
# nothing and shows that the runs differ (its launcher trace is kept in the scratch directory).
((killed == tried)) || fail "only $killed of $tried runs were killed at their point; not reached: ${missed[*]}"
