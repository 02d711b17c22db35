# shellcheck shell=bash
# Shared helpers of the end-to-end tests. Every test script sources this file first:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#   require_sandbox
#
# A test passes when it reaches its end, fails on the first command that fails (the
# failing line and command are printed) or on a failed expectation, and is skipped
# through `skip REASON`, which exits with 77. When a test inside the sandbox fails, the
# launcher's trace, the recorded tool calls and the product trees are shown or saved in
# the sandbox's state directory, which the sandbox then keeps.

set -eEuo pipefail
shopt -s inherit_errexit

E2E_CASE=$(basename -- "$0")
readonly E2E_CASE
readonly E2E_SKIP_STATUS=77
readonly E2E_TRACE_FILE=/var/log/brevantis/tarn/tarn_launcher.log
readonly E2E_PRODUCT_TREES=(/opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run)
readonly E2E_TARN_VAR=/var/opt/brevantis/tarn
readonly E2E_CURRENT_LINK=$E2E_TARN_VAR/install-current
readonly E2E_WDSERVER_PIDFILE=/var/run/wdserver.pid

E2E_REASON=""
E2E_SKIPPED=0
E2E_IN_SANDBOX=0
E2E_AT_EXIT=()
E2E_RUNS=0
E2E_LAST_RUN=""
E2E_RUN_PREFIX=()
declare -A E2E_LAUNCHED=()

# ---------------------------------------------------------------------------------------
# Results
# ---------------------------------------------------------------------------------------

# Ends the test as failed with REASON. (In a subshell it ends only the subshell.)
fail() {
  E2E_REASON="$*"
  if ((BASH_SUBSHELL > 0)); then
    printf '%s: %s\n' "$E2E_CASE" "$*" >&2
  fi
  exit 1
}

# Ends the test as skipped with REASON.
skip() {
  E2E_SKIPPED=1
  E2E_REASON="$*"
  exit "$E2E_SKIP_STATUS"
}

# Runs COMMAND, which must fail: succeeds only when COMMAND exits non-zero.
not() {
  if "$@"; then
    printf '%s: expected to fail, but succeeded: %s\n' "$E2E_CASE" "$*" >&2
    return 1
  fi
  return 0
}

# Registers COMMAND to run when the test ends, whatever the result (last in, first run).
at_exit() {
  E2E_AT_EXIT=("$(printf '%q ' "$@")" "${E2E_AT_EXIT[@]}")
}

# shellcheck disable=SC2317 # Invoked through trap.
e2e_on_error() {
  local status=$1 line=$2 command=$3 file=${BASH_SOURCE[1]:-$0} frame=1 where text
  local caller_line caller_function caller_file
  text=$(sed -n "${line}{s/^[[:space:]]*//;p}" -- "$file" 2>/dev/null || true)
  {
    printf '%s: error at %s line %s: "%s" exited with status %s\n' \
      "$E2E_CASE" "${file##*/}" "$line" "$command" "$status"
    printf '%s:   %s\n' "$E2E_CASE" "$text"
    # The functions that led there, innermost first: "line function file".
    while where=$(caller "$frame"); do
      read -r caller_line caller_function caller_file <<<"$where"
      printf '%s:   called from %s line %s (in %s)\n' \
        "$E2E_CASE" "${caller_file##*/}" "$caller_line" "$caller_function"
      frame=$((frame + 1))
    done
  } >&2
  if [[ -z $E2E_REASON ]]; then
    E2E_REASON="line $line: \"$text\" failed with status $status"
  fi
}

# shellcheck disable=SC2317 # Invoked through trap.
e2e_on_exit() {
  local status=$? entry
  trap - ERR
  set +eE
  # What a failed test launched and never waited for.
  for entry in "${E2E_LAUNCHED[@]}"; do
    kill "$entry" 2>/dev/null  # timeout passes it on to the command
  done
  for entry in "${E2E_AT_EXIT[@]}"; do
    eval "$entry" || printf '%s: warning: clean-up failed: %s\n' "$E2E_CASE" "$entry" >&2
  done
  if ((status == 0)); then
    printf '%s: PASS\n' "$E2E_CASE" >&2
    exit 0
  fi
  if ((status == E2E_SKIP_STATUS && E2E_SKIPPED)); then
    printf '%s: SKIP: %s\n' "$E2E_CASE" "$E2E_REASON" >&2
    exit "$E2E_SKIP_STATUS"
  fi
  # Only skip() may report a skipped test; any other 77 is a failure.
  if ((status == E2E_SKIP_STATUS)); then
    status=1
  fi
  e2e_report_failure "${E2E_REASON:-exited with status $status}"
  exit "$status"
}

trap 'e2e_on_error "$?" "$LINENO" "$BASH_COMMAND"' ERR
trap e2e_on_exit EXIT

# ---------------------------------------------------------------------------------------
# The sandbox
# ---------------------------------------------------------------------------------------

# True when running inside the sandbox: LAUNCHER_SANDBOX names the state directory and
# this process shares the PID namespace recorded there.
in_sandbox() {
  local expected actual
  [[ -n ${LAUNCHER_SANDBOX:-} && -r $LAUNCHER_SANDBOX/pidns ]] || return 1
  expected=$(<"$LAUNCHER_SANDBOX/pidns") || return 1
  actual=$(readlink /proc/self/ns/pid) || return 1
  [[ -n $expected && $expected == "$actual" ]]
}

# Refuses to go on outside the sandbox: the tests change root-owned system paths.
require_sandbox() {
  if ! in_sandbox; then
    E2E_REASON="not inside the launcher sandbox"
    printf '%s: refusing to run outside the launcher sandbox; run it as tools/sandbox/sandbox -- %s\n' \
      "$E2E_CASE" "$0" >&2
    exit 1
  fi
  E2E_IN_SANDBOX=1
  E2E_SCRATCH=$LAUNCHER_SANDBOX/scratch/$E2E_CASE
  mkdir -p -- "$E2E_SCRATCH"
}

# Helpers that change system paths call this first.
e2e_sandbox_only() {
  ((E2E_IN_SANDBOX)) || fail "${FUNCNAME[1]} works only inside the sandbox; call require_sandbox first"
}

# ---------------------------------------------------------------------------------------
# Running the launcher
# ---------------------------------------------------------------------------------------

# Runs "$LAUNCHER" ARG... and never fails itself: stdout goes to the file $OUT, stderr to
# $ERR, the exit status to $STATUS. Each run keeps its own files in the scratch directory.
run_launcher() {
  e2e_sandbox_only
  [[ -n ${LAUNCHER:-} ]] || fail "LAUNCHER is not set to the launcher binary"
  E2E_RUNS=$((E2E_RUNS + 1))
  E2E_LAST_RUN="$LAUNCHER $*"
  OUT=$E2E_SCRATCH/run$E2E_RUNS.out
  ERR=$E2E_SCRATCH/run$E2E_RUNS.err
  printf '%q ' "$LAUNCHER" "$@" >"$E2E_SCRATCH/run$E2E_RUNS.cmd"
  STATUS=0
  "${E2E_RUN_PREFIX[@]}" "$LAUNCHER" "$@" >"$OUT" 2>"$ERR" || STATUS=$?
}

# Like run_launcher, but ends the launcher after SECONDS (exit status 124): for cases in
# which a fault would make it wait forever.
run_launcher_within() {
  local seconds=$1
  shift
  E2E_RUN_PREFIX=(timeout --kill-after=5 "$seconds")
  run_launcher "$@"
  E2E_RUN_PREFIX=()
}

# Starts COMMAND... in the background as NAME, ended after 120 s at most so that a deadlock
# fails the test instead of hanging it; its stdout and stderr go to files in the scratch
# directory. `finish NAME` waits for it.
launch() {
  local name=$1
  shift
  e2e_sandbox_only
  e2e_check_name "$name"
  [[ -z ${E2E_LAUNCHED[$name]:-} ]] || fail "launch: $name runs already"
  printf '%q ' "$@" >"$E2E_SCRATCH/$name.cmd"
  timeout --kill-after=5 120 "$@" >"$E2E_SCRATCH/$name.out" 2>"$E2E_SCRATCH/$name.err" &
  E2E_LAUNCHED[$name]=$!
}

# Waits for the command launched as NAME and sets OUT, ERR and STATUS as run_launcher does
# (124: it was ended after its 120 s).
finish() {
  local name=$1
  [[ -n ${E2E_LAUNCHED[$name]:-} ]] || fail "finish: nothing runs as $name"
  STATUS=0
  wait "${E2E_LAUNCHED[$name]}" || STATUS=$?
  unset "E2E_LAUNCHED[$name]"
  OUT=$E2E_SCRATCH/$name.out
  ERR=$E2E_SCRATCH/$name.err
  E2E_LAST_RUN="$name: $(<"$E2E_SCRATCH/$name.cmd")"
}

# Runs COMMAND... every 20 ms until it succeeds; fails the test after 30 s, naming WHAT.
wait_until() {
  local what=$1 deadline=$((SECONDS + 120))
  shift
  # A bound in time, not in tries, and a generous one: on a loaded machine each try is slow.
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.02
  done
  fail "timed out waiting for $what"
}

# ---------------------------------------------------------------------------------------
# Expectations; each ends the test as failed on a mismatch, showing expected and actual.
# ---------------------------------------------------------------------------------------

expect_eq() {
  local expected=$1 actual=$2 what=${3:-value}
  if [[ $expected != "$actual" ]]; then
    fail "$(printf '%s differs\n  expected: %q\n  actual:   %q' "$what" "$expected" "$actual")"
  fi
}

# FILE holds exactly EXPECTED_TEXT (no newline is added: pass $'text\n' for a line).
expect_file_eq() {
  local expected=$1 file=$2 difference
  [[ -f $file ]] || fail "$file does not exist (expected content: $(printf '%q' "$expected"))"
  if ! cmp -s -- "$file" <(printf '%s' "$expected"); then
    difference=$(diff -u --label expected --label "$file" <(printf '%s' "$expected") "$file" || true)
    fail "$(printf '%s has other content:\n%s' "$file" "$difference")"
  fi
}

# FILE contains NEEDLE (plain text, may span lines).
expect_contains() {
  local needle=$1 file=$2 content
  [[ -f $file ]] || fail "$file does not exist (expected it to contain \"$needle\")"
  content=$(e2e_read_exactly "$file")
  if [[ $content != *"$needle"* ]]; then
    fail "$(printf '%s does not contain "%s"; it holds:\n%s' "$file" "$needle" "$(e2e_excerpt "$file")")"
  fi
}

expect_not_contains() {
  local needle=$1 file=$2 content
  [[ -f $file ]] || fail "$file does not exist"
  content=$(e2e_read_exactly "$file")
  if [[ $content == *"$needle"* ]]; then
    fail "$(printf '%s contains "%s", which it must not; it holds:\n%s' "$file" "$needle" "$(e2e_excerpt "$file")")"
  fi
}

# The last run_launcher exited with status N.
expect_status() {
  local expected=$1
  [[ -n $E2E_LAST_RUN ]] || fail "expect_status: run_launcher has not been called"
  if [[ $STATUS != "$expected" ]]; then
    fail "$(printf 'exit status of "%s": expected %s, actual %s\n--- stdout:\n%s\n--- stderr:\n%s' \
      "$E2E_LAST_RUN" "$expected" "$STATUS" "$(e2e_excerpt "$OUT")" "$(e2e_excerpt "$ERR")")"
  fi
}

# FILE holds exactly the console's form of the error MESSAGE: "Error: MESSAGE" in red
# between blank lines, with the console's word wrapping undone.
expect_console_error() {
  expect_console_message $'\e[0;31mError: ' "$1" "$2" error
}

# FILE holds exactly the console's form of the warning MESSAGE: "Warning: MESSAGE" in
# yellow between blank lines, with the console's word wrapping undone.
expect_console_warning() {
  expect_console_message $'\e[0;33mWarning: ' "$1" "$2" warning
}

# expect_console_message PREFIX MESSAGE FILE KIND: FILE holds PREFIX, MESSAGE and the
# colour's end, between blank lines, once the console's line breaks are undone.
expect_console_message() {
  local prefix=$1 message=$2 file=$3 kind=$4 text
  [[ -f $file ]] || fail "$file does not exist (expected the $kind \"$message\")"
  text=$(tr '\n' ' ' <"$file")
  text=${text#' '}
  text=${text%' '}
  text=${text%' '}
  expect_eq "$prefix$message"$'\e[0m' "$text" "$kind in $file"
}

# FILE's console text on one line: the word wrapping's line breaks undone, colours removed.
console_text() {
  sed 's/\x1b\[[0-9;]*m//g' -- "$1" | tr '\n' ' ' | tr -s ' '
}

# The console text of FILE contains TEXT, however the console printer wrapped it.
expect_console_contains() {
  local text=$1 file=$2 console
  console=$(console_text "$file")
  [[ $console == *"$text"* ]] || fail "$(printf 'the console text of %s lacks "%s"; it is:\n%s' "$file" "$text" "$console")"
}

# Prints FILE's content including trailing newlines.
e2e_read_exactly() {
  local content
  content=$(cat -- "$1" && printf x)
  printf '%s' "${content%x}"
}

# The last lines of FILE, for messages.
e2e_excerpt() {
  tail -n 40 -- "$1" 2>/dev/null || true
}

# ---------------------------------------------------------------------------------------
# Stand-in system tools
# ---------------------------------------------------------------------------------------

# Reads a bash script body from stdin and makes it the answer of stand-in TOOL: it runs
# with the tool's arguments, and its output and exit status are the tool's.
standin_answer() {
  local tool=$1 hook temporary
  e2e_sandbox_only
  e2e_check_name "$tool"
  hook=$LAUNCHER_SANDBOX/answers/$tool
  temporary=$hook.new.$$
  {
    echo '#!/usr/bin/env bash'
    cat
  } >"$temporary"
  chmod 0755 -- "$temporary"
  mv -f -- "$temporary" "$hook"
}

# Removes TOOL from /usr/bin and /usr/sbin inside the sandbox, as on a machine without it.
standin_remove() {
  local tool=$1
  e2e_sandbox_only
  e2e_check_name "$tool"
  rm -f -- "/usr/bin/$tool" "/usr/sbin/$tool"
  # The shell would otherwise still find the tool where it last saw it.
  hash -r
}

# Prints the recorded tool calls, one a line.
calls() {
  e2e_sandbox_only
  cat -- "$LAUNCHER_SANDBOX/calls"
}

clear_calls() {
  e2e_sandbox_only
  : >"$LAUNCHER_SANDBOX/calls"
}

e2e_check_name() {
  [[ -n $1 && $1 != */* && $1 != . && $1 != .. ]] || fail "invalid name \"$1\""
}

# ---------------------------------------------------------------------------------------
# Product trees
# ---------------------------------------------------------------------------------------

# Creates the patch directory /var/opt/brevantis/tarn/NAME with its libexec directory and
# points the install-current link at it. Sets PATCH_DIR.
lay_current_patch() {
  local name=$1
  e2e_sandbox_only
  e2e_check_name "$name"
  [[ $name != install-current ]] || fail "a patch cannot be named install-current"
  PATCH_DIR=$E2E_TARN_VAR/$name
  mkdir -p -- "$PATCH_DIR/opt/brevantis/tarn/libexec"
  if [[ -e $E2E_CURRENT_LINK && ! -L $E2E_CURRENT_LINK ]]; then
    fail "$E2E_CURRENT_LINK exists and is not a symbolic link"
  fi
  ln -sfn -- "$PATCH_DIR" "$E2E_CURRENT_LINK"
}

# Starts a stand-in watchdog server: a copy of /bin/sleep at
# PATCH_ROOT/opt/brevantis/tarn/libexec/wdserver (PATCH_ROOT defaults to the
# install-current link), detached from the test, with its pid in /var/run/wdserver.pid.
# Sets WDSERVER_PID.
start_fake_wdserver() {
  local root=${1:-$E2E_CURRENT_LINK} binary expected_exe
  e2e_sandbox_only
  binary=$root/opt/brevantis/tarn/libexec/wdserver
  mkdir -p -- "${binary%/*}"
  cp -- /bin/sleep "$binary"
  chmod 0755 -- "$binary"
  expected_exe=$(readlink -f -- "$binary")
  # Started from a subshell that ends at once, so the server becomes a child of PID 1 like
  # a real daemon, and a test that waits for its own children does not wait for it.
  WDSERVER_PID=$("$binary" 86400 </dev/null >/dev/null 2>&1 &
    echo "$!")
  # Bounded generously: a machine at load 10 may take seconds to exec a process.
  local deadline=$((SECONDS + 60))
  while ((SECONDS < deadline)); do
    if [[ $(readlink "/proc/$WDSERVER_PID/exe" 2>/dev/null || true) == "$expected_exe" ]]; then
      printf '%s\n' "$WDSERVER_PID" >"$E2E_WDSERVER_PIDFILE"
      return 0
    fi
    sleep 0.01
  done
  fail "the fake wdserver (pid $WDSERVER_PID) did not start $expected_exe"
}

# Lays a patch from the built patch tree ($LAUNCHER_PATCH_TREE) as a plain copy at
# /var/opt/brevantis/tarn/NAME, and makes its manifest name VERSION wherever it named the
# build's version. Touches no link. Sets PATCH_DIR.
lay_patch() {
  local name=$1 version=$2 manifest built
  e2e_sandbox_only
  e2e_check_name "$name"
  [[ $name != install-* ]] || fail "a patch cannot be named $name: the install-* names are the state links"
  [[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "version \"$version\" is not four dotted numbers"
  [[ -n ${LAUNCHER_PATCH_TREE:-} && -d $LAUNCHER_PATCH_TREE/opt/brevantis/tarn ]] ||
    fail "LAUNCHER_PATCH_TREE does not name the built patch tree (cmake --build build --target patch_tree)"
  PATCH_DIR=$E2E_TARN_VAR/$name
  [[ ! -e $PATCH_DIR && ! -L $PATCH_DIR ]] || fail "$PATCH_DIR exists already"
  mkdir -p -- "$E2E_TARN_VAR"
  cp -a -- "$LAUNCHER_PATCH_TREE" "$PATCH_DIR"
  manifest=$PATCH_DIR/opt/brevantis/tarn/doc/manifest.ini
  built=$(sed -n 's/^ProductVersion=//p' -- "$manifest")
  sed -i "s/${built//./\\.}/$version/g" -- "$manifest"
}

# Lays the patch NAME of VERSION as a first install leaves it: install-current points at it,
# the live ini and agreements are the patch's shipped ones (the agreement accepted), and
# the patch's private storage is laid from its shipped initial storage. Sets PATCH_DIR.
install_product() {
  local name=$1 version=$2 init
  lay_patch "$name" "$version"
  if [[ -e $E2E_CURRENT_LINK && ! -L $E2E_CURRENT_LINK ]]; then
    fail "$E2E_CURRENT_LINK exists and is not a symbolic link"
  fi
  ln -sfn -- "$PATCH_DIR" "$E2E_CURRENT_LINK"
  init=$PATCH_DIR/opt/brevantis/tarn/shared/init
  mkdir -p -- "$E2E_TARN_VAR/common" "$PATCH_DIR/var/opt/brevantis/tarn/private"
  cp -- "$init/tarn.ini" "$E2E_TARN_VAR/common/tarn.ini"
  cp -- "$init/agreements.ini" "$E2E_TARN_VAR/common/agreements.ini"
  cp -a -- "$init/storage" "$PATCH_DIR/var/opt/brevantis/tarn/private/storage"
}

# Makes the watchdog server of the patch at PATCH_ROOT fail to start: it prints MESSAGE
# (default: one naming the marker file) on stderr and exits 1.
break_wdserver() {
  local root=$1 message=${2:-} libexec
  e2e_sandbox_only
  libexec=$root/opt/brevantis/tarn/libexec
  [[ -x $libexec/wdserver ]] || fail "$root has no watchdog server to break"
  printf '%s\n' "$message" >"$libexec/wdserver.fail"
}

# Makes the export of the patch at PATCH_ROOT fail: its application infrastructure library
# refuses STEP: "interface" (no interface), "export" (the export run), or by default the
# creation of the task manager.
break_export() {
  local root=$1 step=${2:-} lib64
  e2e_sandbox_only
  lib64=$root/opt/brevantis/tarn/lib64
  [[ -f $lib64/libtarn_infra.so ]] || fail "$root has no application infrastructure library"
  printf '%s\n' "$step" >"$lib64/libtarn_infra.fail"
}

# Lays the management agent's files (its module checker and integrity manifest) below
# /opt/brevantis/qvnagent64. Whether the agent counts as installed is the package tool's
# answer, which the test sets itself.
lay_agent_files() {
  local agent_tree=${LAUNCHER_AGENT_TREE:-${LAUNCHER_PATCH_TREE:-}/../agent_tree}
  e2e_sandbox_only
  [[ -d $agent_tree/opt/brevantis/qvnagent64 ]] || fail "no agent tree at $agent_tree"
  mkdir -p /opt/brevantis
  cp -a -- "$agent_tree/opt/brevantis/qvnagent64" /opt/brevantis/
}

# The management agent's files and its package, fully installed as dpkg sees it.
install_agent() {
  lay_agent_files
  cat >>/var/lib/dpkg/status <<'EOF'

Package: qvnagent64
Status: install ok installed
Maintainer: Test <test@example.invalid>
Architecture: all
Version: 1.0
Description: management agent as the launcher sees it
EOF
}

# ---------------------------------------------------------------------------------------
# Failure report
# ---------------------------------------------------------------------------------------

e2e_report_failure() {
  local reason=$1 tree destination
  {
    printf '==== %s FAILED: %s\n' "$E2E_CASE" "$reason"
    ((E2E_IN_SANDBOX)) || return 0
    if [[ -n $E2E_LAST_RUN ]]; then
      printf -- '---- last launcher run: %s (exit status %s)\n' "$E2E_LAST_RUN" "${STATUS:-?}"
      printf -- '---- its stdout (%s):\n' "$OUT"
      e2e_excerpt "$OUT"
      printf -- '---- its stderr (%s):\n' "$ERR"
      e2e_excerpt "$ERR"
    fi
    if [[ -f $E2E_TRACE_FILE ]]; then
      printf -- '---- last 40 lines of %s:\n' "$E2E_TRACE_FILE"
      tail -n 40 -- "$E2E_TRACE_FILE"
    else
      printf -- '---- no trace file %s\n' "$E2E_TRACE_FILE"
    fi
    printf -- '---- recorded tool calls (%s):\n' "$LAUNCHER_SANDBOX/calls"
    cat -- "$LAUNCHER_SANDBOX/calls" 2>/dev/null
    destination=$LAUNCHER_SANDBOX/trees
    # Several tests may share one sandbox; never mix their copies.
    if [[ -e $destination ]]; then
      destination=$LAUNCHER_SANDBOX/trees.$E2E_CASE.$$
    fi
    for tree in "${E2E_PRODUCT_TREES[@]}"; do
      [[ -e $tree ]] || continue
      mkdir -p -- "$destination${tree%/*}"
      cp -a -- "$tree" "$destination$tree" 2>/dev/null ||
        printf 'warning: %s was copied only in part\n' "$tree"
    done
    printf -- '---- product trees copied to %s\n' "$destination"
  } >&2
}

# Where the upgrade state link install-NAME points ("-" when there is none).
link_target() {
  if [[ -L $E2E_TARN_VAR/install-$1 ]]; then
    readlink "$E2E_TARN_VAR/install-$1"
  else
    echo -
  fi
}

# The four upgrade state links on one line, for comparisons and failure messages.
links() {
  printf 'current=%s upgrade=%s previous=%s failed=%s' "$(link_target current)" \
    "$(link_target upgrade)" "$(link_target previous)" "$(link_target failed)"
}

# The patch directory of the running watchdog server; fails when none runs.
running_patch() {
  local pid exe
  run_launcher --status
  expect_status 0
  pid=$(<"$E2E_WDSERVER_PIDFILE")
  exe=$(readlink "/proc/$pid/exe") || fail "the watchdog server $pid does not run"
  printf '%s' "${exe%/opt/brevantis/tarn/libexec/wdserver}"
}
