#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Crash safety of the start-time upgrade chain. The launcher that runs the chain (one
# process through its re-executions) is killed with SIGKILL at each of its state-changing
# system calls in turn (strace counts calls per system call: the N-th rename, the N-th
# symlink and so on; writes count only where they go to a file being replaced). So is the
# export run, the child that carries the settings over: its own strace -f, started by a
# wrapper around the previous patch's launcher, counts its calls (strace counts per
# process, so one strace -f over the whole chain could not aim at the export's N-th call
# once the launcher had made N of them). After each kill the machine "reboots" (product
# processes gone, /var/run empty) and the service manager runs start once. Every run must
# end as the old product or the new one: the links decode to Installed on b or to
# RolledBack, the server of the patch the links name runs, no link dangles, and
# upgrade.json and the live ini are byte-identical to those of an uninterrupted run with
# the same end. A kill of the launcher itself ends as the uninterrupted run does; a killed
# export fails the first start, which rolls back.
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
readonly syscalls=symlink,symlinkat,rename,renameat,renameat2,unlink,unlinkat,rmdir,mkdir,mkdirat,link,linkat,fsync,fdatasync,syncfs,execve,clone,clone3,fork,vfork,kill,write
readonly snapshot=$E2E_SCRATCH/snapshot
# Outside the product trees the chain changes the command links, the sleep hook and the
# service unit (rewritten only when it differs: a run left with the new unit would skip it).
readonly system_files=(/usr/bin/tarn-setup /opt/brevantis/tarn /usr/bin/tarn-control /usr/bin/response
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

# Kill points of the process traced in TRACE (written with -y; under -f its first process),
# one "name n" a line: every call but the first execve (strace counts none before the
# traced program runs), and writes only into the temporary file of a file being replaced.
kill_points() {
  awk '
    $1 ~ /^[0-9]+$/ {
      if (pid == "") pid = $1
      if ($1 != pid) next
      sub(/^[0-9]+ +/, "")
    }
    {
      name = $0; sub(/\(.*/, "", name)
      if (name !~ /^[a-z0-9_]+$/) next
      n = ++count[name]
      if (name == "execve" && !seen_exec++) next
      if (name == "write") {
        if ($0 !~ /^write\([0-9]+<[^>]*\.tmp\.[A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9][A-Za-z0-9]>/) next
      }
      print name, (name == "execve" ? n - 1 : n)
    }' "$1"
}

# Puts a wrapper in place of the previous patch's launcher: "--export" first puts the
# launcher back (the export finds its patch from its own path) and runs it under strace -f
# with ARGS, leaving strace's exit status in $export_status; anything else runs the
# launcher itself. ARGS "fail" make the export fail at once instead.
wrap_export() {
  local launcher=$E2E_TARN_VAR/a/opt/brevantis/tarn/libexec/launcher
  mv -- "$launcher" "$launcher.real"
  {
    printf '#!/bin/sh\n'
    printf 'launcher=%q status_file=%q\n' "$launcher" "$export_status"
    if [[ $* == fail ]]; then
      printf 'traced() {\n  return 1\n}\n'
    else
      printf 'traced() {\n  ASAN_OPTIONS=%q strace -f -qq -y' "$traced_asan"
      printf ' %q' "$@"
      printf ' %s\n}\n' '"$@"'
    fi
    cat <<'SCRIPT'
[ "${1:-}" = --export ] || exec "$launcher.real" "$@"
mv -f -- "$launcher.real" "$launcher"
traced "$launcher" "$@"
status=$?
echo "$status" >"$status_file"
exit "$status"
SCRIPT
  } >"$launcher"
  chmod 0755 -- "$launcher"
}

lay_upgrade
[[ $chain == rollback ]] && break_wdserver "$E2E_TARN_VAR/b" "the new server cannot start"
reboot_machine
save_state
readonly export_status=$E2E_SCRATCH/export.status
LAUNCHER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher

# The uninterrupted run: its calls are the kill points, its files the reference.
trace=$E2E_SCRATCH/reference.strace
E2E_LAST_RUN="strace $LAUNCHER"
STATUS=0
ASAN_OPTIONS=$traced_asan strace -qq -y -o "$trace" -e trace="$syscalls" "$LAUNCHER" >/dev/null 2>&1 || STATUS=$?
expect_status 0
reference_end=$(outcome)
expect_eq "$([[ $chain == success ]] && echo installed || echo rolledback)" "$reference_end" "end of the uninterrupted run"
reference=$(fingerprint)
mapfile -t points < <(kill_points "$trace" | sed 's/^/launcher /')

# The export run's calls, from a second uninterrupted run. A build without the export has
# a script in its place (upgrade_lib.sh), which is not worth killing.
if [[ ! -e $E2E_TARN_VAR/a/opt/brevantis/tarn/libexec/launcher.real ]]; then
  restore_state
  export_trace=$E2E_SCRATCH/export.strace
  wrap_export -o "$export_trace" -e trace="$syscalls"
  run_launcher
  expect_status 0
  expect_eq "$reference_end" "$(outcome)" "end of the uninterrupted run with the export traced"
  mapfile -t -O "${#points[@]}" points < <(kill_points "$export_trace" | sed 's/^/export /')
  # A killed export fails the start: its runs end as one whose export failed outright.
  restore_state
  wrap_export fail
  run_launcher
  expect_status 0
  expect_eq rolledback "$(outcome)" "end of the uninterrupted run whose export failed"
  export_failed_reference=$(fingerprint)
fi

tried=0 killed=0 missed=() launcher_points=0 export_points=0
for ((i = 0; i < ${#points[@]}; i++)); do
  read -r process name n <<<"${points[i]}"
  if [[ $process == launcher ]]; then launcher_points=$((launcher_points + 1)); else export_points=$((export_points + 1)); fi
  (((i + 1) % every == 0)) || continue
  tried=$((tried + 1))
  point="$process $name #$n"
  restore_state
  E2E_LAST_RUN="strace kill at $point"
  inject=(-e trace="$name" -e inject="$name:signal=KILL:when=$n")
  killed_status=0
  if [[ $process == launcher ]]; then
    # The shell reports a job ended by a signal on its own standard error.
    exec 3>&2 2>/dev/null
    ASAN_OPTIONS=$traced_asan strace -qq -y -o /dev/null "${inject[@]}" "$LAUNCHER" >/dev/null 2>&1 ||
      killed_status=$?
    exec 2>&3 3>&-
  else
    wrap_export -o /dev/null "${inject[@]}"
    "$LAUNCHER" >/dev/null 2>&1 || true
    killed_status=$(cat -- "$export_status" 2>/dev/null || echo none)
  fi
  # strace ends as its program did: by SIGKILL (137) when the kill point was reached.
  if [[ $killed_status == 137 ]]; then
    killed=$((killed + 1))
  else
    missed+=("$process:$name#$n")
    cp -- "$E2E_TRACE_FILE" "$E2E_SCRATCH/not-reached-$process-$name-$n.log"
  fi
  reboot_machine
  run_launcher
  [[ $STATUS == 0 ]] || fail "start after the kill at $point exited with $STATUS: $(tail -n 3 "$ERR")"
  end=$(outcome) || fail "after the kill at $point"
  # A killed launcher resumes to the uninterrupted end; a killed export failed the start.
  if [[ $process == launcher ]]; then
    [[ $end == "$reference_end" ]] || fail "after the kill at $point the upgrade ended $end, not $reference_end"
    [[ $(fingerprint) == "$reference" ]] || fail "after the kill at $point the files differ from the uninterrupted run's"
  else
    [[ $end == rolledback ]] || fail "after the kill at $point the upgrade ended $end, not rolledback"
    [[ $(fingerprint) == "$export_failed_reference" ]] ||
      fail "after the kill at $point the files differ from those of a run whose export failed"
  fi
done
printf '%s: %s chain, kill points: launcher %d, export %d; %d tried, %d killed, %d s; not reached: %s\n' \
  "$E2E_CASE" "$chain" "$launcher_points" "$export_points" "$tried" "$killed" "$SECONDS" \
  "${missed[*]:-none}" >&2
# Kill points come from the uninterrupted run; a run that never reaches its point proves
# nothing and shows that the runs differ (its launcher trace is kept in the scratch directory).
((killed == tried)) || fail "only $killed of $tried runs were killed at their point; not reached: ${missed[*]}"
