#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# End-to-end test of the test sandbox. Runs on the host as root and starts sandboxes with
# the init program named by $SANDBOX_INIT_BINARY; sandbox_inside_test.sh is the part
# that runs inside them.
source "$(dirname -- "${BASH_SOURCE[0]}")/lib.sh"

((EUID == 0)) || skip "the sandbox needs root"
[[ -n ${SANDBOX_INIT_BINARY:-} && -x $SANDBOX_INIT_BINARY ]] ||
  fail "SANDBOX_INIT_BINARY must name the built sandbox_init program"

here=$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd -P)
sandbox=$(realpath -e -- "$here/../../tools/sandbox/sandbox")
standin_tool=$(realpath -e -- "$here/../../tools/sandbox/standin-tool")
inside_test=$here/sandbox_inside_test.sh
work=$(mktemp -d /tmp/sandbox-test.XXXXXX)
at_exit rm -rf --one-file-system -- "$work"
marker=sbxtest$$x$RANDOM

# Fixed paths that the product and its tests use; whether and how each exists on the host
# must not change.
readonly FIXED_PATHS=(
  /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis
  /usr/lib/modules /lib/modules /etc/init.d /etc/systemd /usr/lib/systemd/system /run /var/run
)

# Runs the sandbox, storing stdout, stderr and the exit status in $work/out, $work/err and
# $status.
run_sandbox() {
  status=0
  "$sandbox" "$@" >"$work/out" 2>"$work/err" &
  sandbox_pids+=("$!")
  wait "$!" || status=$?
}
# The sandbox scripts that this test ran; the real systemd's cgroups are named after them.
sandbox_pids=()

host_snapshot() {
  local path
  for path in "${FIXED_PATHS[@]}"; do
    if [[ -e $path || -L $path ]]; then
      printf 'exists %s %s\n' "$path" "$(stat -c '%F %a %U:%G' -- "$path")"
    else
      printf 'absent %s\n' "$path"
    fi
  done
  # Modes, owners and sizes of everything a sandboxed test may change; the size of a
  # directory only says how its entries are stored, so the entries stand for it.
  find /etc /usr/bin /usr/sbin /usr/lib/systemd -xdev \
    \( -type d -printf '%p/ %M %U:%G\n' \) -o -printf '%p %M %U:%G %s %l\n' | LC_ALL=C sort
  find /usr/lib -maxdepth 1 -printf '%M %p\n' | LC_ALL=C sort
  # Content of the files that the inner test overwrites, that the wrappers replace or that
  # the real tools change inside.
  for path in /usr/bin/dpkg /usr/bin/systemctl /usr/sbin/groupadd /usr/lib/os-release \
    /etc/os-release /etc/debian_version /etc/group /etc/gshadow /var/lib/dpkg/status; do
    if [[ -e $path ]]; then
      sha256sum -- "$path"
    else
      printf 'absent %s\n' "$path"
    fi
  done
  # The package databases, rpm's default one in root's home among them.
  find /var/lib/dpkg /var/lib/rpm -xdev -printf '%p %M %s\n' 2>&1 | LC_ALL=C sort
  for path in /root/.rpmdb /root/rpmbuild; do
    if [[ -e $path ]]; then
      printf 'exists %s\n' "$path"
    fi
  done
  # The packet filter of the host's network namespace, without the traffic counters.
  for path in iptables-save ip6tables-save; do
    { "$path" 2>&1 || echo "$path failed"; } | sed -e '/^#/d' -e 's/\[[0-9]*:[0-9]*\]//'
  done
}

# A run that writes everywhere leaves the host as it was, in both init flavours; the inner
# half checks the view from inside.
test_host_unchanged() {
  local flavour option state path number=0
  host_snapshot >"$work/before"
  for flavour in systemd sysv; do
    number=$((number + 1))
    state=$work/flavour-state-$number
    option=$flavour
    [[ $flavour == sysv ]] || option=systemd-lookalike
    SANDBOX_TEST_CALLER_VARIABLE="passed on" \
      run_sandbox --init "$option" --state "$state" -- "$inside_test" "$flavour" "$marker"
    if ((status != 0)); then
      cat -- "$work/out" "$work/err" >&2
      fail "the inner test failed with status $status in a $flavour sandbox"
    fi
    expect_contains "sandbox_inside_test.sh: PASS" "$work/err"
    [[ ! -e $state ]] || fail "the state directory $state of a passing run is still there"
  done
  host_snapshot >"$work/after"
  if ! diff -u "$work/before" "$work/after" >"$work/host.diff"; then
    fail "$(printf 'the host changed:\n%s' "$(head -n 40 "$work/host.diff")")"
  fi
  for path in /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run /etc \
    /etc/init.d /etc/systemd/system /usr/bin /usr/sbin /usr/lib/modules /usr/lib/systemd/system \
    /var/lib /var/tmp /usr/share; do
    [[ ! -e $path/$marker && ! -e $path/$marker.service ]] || fail "$path/$marker reached the host"
  done
  [[ ! -e /run/$marker.pid && ! -e /usr/lib/systemd/system/$marker-lib.service ]] ||
    fail "files written inside reached the host"
  # Daemons left behind, even ones that ignore SIGTERM, die with the sandbox.
  not pgrep -f "leftover-$marker" >/dev/null
}

# What the real systemd could change of the kernel and its cgroups: every setting but the
# counters that move by themselves, and the cgroups of each hierarchy's first two levels
# (those of sandboxes that other tests run meanwhile aside). Deeper down, the host's own
# managers make and remove cgroups as they run their jobs.
kernel_snapshot() {
  sysctl -a 2>/dev/null | grep -Ev '^(fs\.(dentry-state|file-nr|inode-nr|inode-state|aio-nr|quota\.)|kernel\.(random\.|ns_last_pid|pty\.nr)|net\.netfilter\.nf_conntrack_count)' |
    LC_ALL=C sort
  find /sys/fs/cgroup -maxdepth 2 -name 'launcher-sandbox.*' -prune -o -type d -print | LC_ALL=C sort
}

cgroup2_root() {
  local dir
  for dir in /sys/fs/cgroup/unified /sys/fs/cgroup; do
    [[ $(stat -f -c %T -- "$dir") != cgroup2fs ]] || { echo "$dir" && return 0; }
  done
  fail "the host has no cgroup2 hierarchy"
}

pid_namespace_number() {
  local link
  link=$(readlink /proc/self/ns/pid)
  echo "${link//[!0-9]/}"
}

# Kills what is in the cgroup DIR and removes it, should the test fail to have it removed.
remove_test_cgroup() {
  [[ -d $1 ]] || return 0
  echo 1 >"$1/cgroup.kill"
  sleep 0.2
  find "$1" -depth -type d -exec rmdir -- {} +
}

# What the sandboxes of this test left: their cgroups, and processes in them or named as
# the leftover daemons.
leftovers() {
  local process names
  names="launcher-sandbox\.[0-9]+\.($(IFS='|' && echo "${sandbox_pids[*]}"))\.[0-9]+"
  find /sys/fs/cgroup -maxdepth 2 -regextype egrep -regex ".*/$names" 2>/dev/null
  for process in /proc/[0-9]*; do
    if grep -Eqs "^0::/$names(/|\$)" "$process/cgroup" ||
      [[ $(tr "\0" " " 2>/dev/null <"$process/cmdline") == *leftover-$marker* ]]; then
      printf '%s %s\n' "${process#/proc/}" "$(cat "$process/comm" 2>/dev/null)"
    fi
  done
}

# The real systemd as PID 1: it boots and runs the command (the inner half checks the
# view from inside); two run at once; a sandbox whose script is killed leaves nothing
# behind; afterwards the host's files, kernel settings and cgroups are as they were.
test_real_systemd() {
  local inner=$here/sandbox_systemd_inside_test.sh pids=() pid number sandbox_pid attempt
  local stale sleeper
  [[ -x /lib/systemd/systemd ]] || { echo "$E2E_CASE: note: no systemd here; its flavour not checked" >&2; return 0; }
  host_snapshot >"$work/before"
  kernel_snapshot >"$work/kernel-before"
  run_sandbox --init systemd --state "$work/real-state" -- "$inner" "$marker"
  if ((status != 0)); then
    cat -- "$work/out" "$work/err" >&2
    fail "the inner test failed with status $status in the systemd sandbox"
  fi
  expect_contains "sandbox_systemd_inside_test.sh: PASS" "$work/err"
  # A working directory in a system tree is the overlay's, not the host's.
  at_exit rm -f -- "/var/tmp/$marker-cwd"
  # shellcheck disable=SC2016 # Expanded inside.
  (cd /var/tmp && exec "$sandbox" --init systemd -- bash -c 'pwd; : >"$1"' cwd "$marker-cwd") \
    >"$work/out" 2>&1 &
  sandbox_pids+=("$!")
  wait "$!" || fail "a sandbox run in /var/tmp failed: $(<"$work/out")"
  expect_file_eq $'/var/tmp\n' "$work/out"
  [[ ! -e /var/tmp/$marker-cwd ]] || fail "a file written in the working directory /var/tmp reached the host"
  for number in 1 2; do
    # shellcheck disable=SC2016 # Expanded inside.
    "$sandbox" --init systemd --state "$work/parallel-$number" -- \
      bash -c 'sleep 0.5; [[ $(systemctl is-system-running) == running ]] && hostname' \
      >"$work/parallel-$number.out" &
    pids+=("$!")
  done
  sandbox_pids+=("${pids[@]}")
  for pid in "${pids[@]}"; do
    wait "$pid" || fail "one of two systemd sandboxes at once failed"
  done
  [[ $(<"$work/parallel-1.out") != "$(<"$work/parallel-2.out")" ]] ||
    fail "two sandboxes at once have the same host name $(<"$work/parallel-1.out")"
  # Killed: the reaper removes the cgroup once the sandbox's systemd is gone.
  # shellcheck disable=SC2016 # Expanded inside.
  "$sandbox" --init systemd --state "$work/killed" -- bash -c ': >"$LAUNCHER_SANDBOX/ready"; sleep 600' \
    >/dev/null 2>&1 &
  sandbox_pid=$!
  sandbox_pids+=("$sandbox_pid")
  for ((attempt = 0; attempt < 1000; attempt++)); do
    [[ ! -e $work/killed/ready ]] || break
    sleep 0.01
  done
  [[ -e $work/killed/ready ]] || fail "the sandbox to kill did not start its command"
  kill -KILL "$sandbox_pid"
  wait "$sandbox_pid" 2>/dev/null || true
  for ((attempt = 0; attempt < 500; attempt++)); do
    [[ -n $(leftovers) ]] || break
    sleep 0.02
  done
  expect_eq "" "$(leftovers)" "cgroups and processes left by the sandboxes"
  # Killed so hard that its reaper did not run either: the next sandbox kills what is left
  # in the cgroup (named as this script's would be, with a start time that is not its own)
  # and removes it.
  stale=$(cgroup2_root)/launcher-sandbox.$(pid_namespace_number).$$.1
  mkdir -p -- "$stale/init"
  at_exit remove_test_cgroup "$stale"
  sleep 600 &
  sleeper=$!
  disown "$sleeper"
  echo "$sleeper" >"$stale/init/cgroup.procs"
  run_sandbox --init systemd -- true
  expect_eq 0 "$status" "exit status of a sandbox after a killed one"
  [[ ! -e $stale ]] || fail "the cgroup $stale of a killed sandbox is still there"
  wait_until "the process in the killed sandbox's cgroup to end" test ! -e "/proc/$sleeper"
  kernel_snapshot >"$work/kernel-after"
  if ! diff -u "$work/kernel-before" "$work/kernel-after" >"$work/kernel.diff"; then
    fail "$(printf 'the kernel settings or cgroups changed:\n%s' "$(head -n 40 "$work/kernel.diff")")"
  fi
  host_snapshot >"$work/after"
  if ! diff -u "$work/before" "$work/after" >"$work/host.diff"; then
    fail "$(printf 'the host changed:\n%s' "$(head -n 40 "$work/host.diff")")"
  fi
  for path in /etc/$marker /etc/systemd/system/$marker.service /usr/lib/systemd/system/$marker-lib.service \
    /run/$marker.pid; do
    [[ ! -e $path ]] || fail "$path reached the host"
  done
}

# A real tool in the directory where its wrapper does not go is removed as well, so that no
# search order finds it unrecorded; a pass-through tool runs the copy that the launcher's
# lookup order (/usr/sbin first) finds. The copies are planted in throw-away overlays of a
# private mount namespace, never on the host.
test_other_copies_removed() {
  local plant=$work/plant
  # Overlays stack two deep at most, and the sandbox adds one more on top of this one.
  # The copies are planted in an overlay of /usr itself: the sandbox's own overlay of /usr
  # would not see mounts below it.
  if [[ $(stat -f -c %T /usr) == overlayfs || $(findmnt -n -o TARGET /usr/bin) == /usr/bin ||
    $(findmnt -n -o TARGET /usr/sbin) == /usr/sbin ]]; then
    echo "$E2E_CASE: note: /usr is on overlayfs or split into mounts; planted copies not checked" >&2
    return 0
  fi
  mkdir -p -- "$plant/upper" "$plant/work"
  status=0
  # shellcheck disable=SC2016 # Expanded by the inner shell.
  unshare --mount --propagation private -- bash -c '
    set -euo pipefail
    plant=$1
    shift
    mount -t overlay overlay -o "lowerdir=/usr,upperdir=$plant/upper,workdir=$plant/work" /usr
    if [[ $(stat -f -c %T /usr/bin) != overlayfs ]]; then
      echo "cannot lay an overlay over /usr"
      exit 1
    fi
    for path in /usr/sbin/{systemctl,checkmodule,dpkg,rpm} /usr/bin/{service,groupadd,iptables,restorecon}; do
      printf "#!/bin/sh\necho real %s\n" "$path" >"$path"
      chmod 0755 "$path"
    done
    "$@"' plant "$plant" \
    "$sandbox" --state "$work/plant-state" -- bash -c '
      set -u
      for tool in systemctl checkmodule dpkg rpm; do
        [[ ! -e /usr/sbin/$tool ]] || { echo "/usr/sbin/$tool is left"; exit 1; }
        expected="real /usr/sbin/$tool"
        [[ $tool != systemctl ]] || expected=""
        answer=$(PATH=/usr/sbin:/usr/bin "$tool")
        [[ $answer == "$expected" ]] || { echo "$tool answered \"$answer\""; exit 1; }
      done
      for tool in service groupadd iptables restorecon; do
        [[ ! -e /usr/bin/$tool ]] || { echo "/usr/bin/$tool is left"; exit 1; }
        answer=$(PATH=/usr/bin:/usr/sbin "$tool" --version 2>&1 || true)
        [[ $answer != *"real /usr/bin"* ]] || { echo "the planted /usr/bin/$tool answered"; exit 1; }
      done
      expect="systemctl checkmodule dpkg rpm service groupadd iptables restorecon"
      [[ $(cut -d " " -f 1 "$LAUNCHER_SANDBOX/calls" | paste -s -d " ") == "$expect" ]] ||
        { echo "calls: $(<"$LAUNCHER_SANDBOX/calls")"; exit 1; }' >"$work/out" 2>&1 || status=$?
  expect_eq 0 "$status" "exit status with planted tools ($(<"$work/out"))"
}

# Exit statuses pass through; the state directory is kept when the command failed or
# --keep was given, and removed otherwise. A skipped test (77) has not failed.
test_status_and_state() {
  local cases=(
    # options | command | status | kept
    "|exit 0|0|no"
    "|exit 3|3|yes"
    "|exit 77|77|no"
    "|exit 42|42|yes"
    "|kill -TERM \$\$|143|yes"
    "--keep|exit 0|0|yes"
  )
  local entry options command expected kept state number=0 option_words=() flavour
  for entry in "${cases[@]}"; do
    IFS='|' read -r options command expected kept <<<"$entry"
    read -r -a option_words <<<"$options"
    # The real systemd runs the command its own way (nsenter, a scope).
    for flavour in systemd-lookalike systemd; do
      number=$((number + 1))
      state=$work/status-$number
      run_sandbox --init "$flavour" "${option_words[@]}" --state "$state" -- bash -c "$command"
      expect_eq "$expected" "$status" "exit status of \"$command\" $options under $flavour"
      if [[ $kept == yes ]]; then
        [[ -f $state/calls && -f $state/pidns ]] || fail "\"$command\" $options: state $state not kept"
        expect_file_eq "sandbox: kept $state"$'\n' "$work/err"
      else
        [[ ! -e $state ]] || fail "\"$command\" $options: state $state was not removed"
        expect_file_eq "" "$work/err"
      fi
    done
  done
}

# The pidns file tells the sandbox from the host: the check passes inside (the inner test
# requires it) and fails on the host, also with LAUNCHER_SANDBOX pointing at a real state.
test_pidns_check() {
  local state=$work/pidns-state
  run_sandbox --keep --state "$state" -- bash -c 'readlink /proc/self/ns/pid'
  expect_eq 0 "$status" "exit status"
  expect_file_eq "$(<"$work/out")" "$state/pidns"
  [[ $(<"$state/pidns") == pid:\[*\] ]] || fail "unexpected pidns content: $(<"$state/pidns")"
  [[ $(<"$state/pidns") != "$(readlink /proc/self/ns/pid)" ]] ||
    fail "the sandbox shares the host's PID namespace"
  LAUNCHER_SANDBOX=$state not in_sandbox
  status=0
  LAUNCHER_SANDBOX=$state bash -c 'source "$1"; require_sandbox; echo "ran on"' check "$here/lib.sh" \
    >"$work/out" 2>"$work/err" || status=$?
  expect_eq 1 "$status" "exit status of require_sandbox on the host"
  expect_contains "refusing to run outside the launcher sandbox" "$work/err"
  expect_not_contains "ran on" "$work/out"
}

# A test that fails inside shows the launcher's trace and the tool calls, and saves the
# product trees in the state directory, which the sandbox keeps.
test_failure_report() {
  local state=$work/report-state script=$work/failing_test.sh
  cat >"$script" <<EOF
#!/usr/bin/env bash
source $(printf %q "$here/lib.sh")
require_sandbox
mkdir -p /var/log/brevantis/tarn /opt/brevantis/tarn/bin /var/opt/brevantis/tarn
seq 1 50 | sed 's/^/trace line /' >/var/log/brevantis/tarn/tarn_launcher.log
echo payload >/opt/brevantis/tarn/bin/tarn
ln -s /opt/brevantis/tarn/bin/tarn /var/opt/brevantis/tarn/link
echo 42 >/run/tarn.pid
systemctl enable 'tarn users'
expect_eq installed missing "state of the agent"
echo "not reached"
EOF
  chmod 0755 -- "$script"
  run_sandbox --state "$state" -- "$script"
  expect_eq 1 "$status" "exit status of a failing test"
  expect_not_contains "not reached" "$work/out"
  expect_contains "==== failing_test.sh FAILED: state of the agent differs" "$work/err"
  expect_contains $'trace line 11\ntrace line 12\n' "$work/err"
  expect_contains $'trace line 50\n' "$work/err"
  expect_not_contains $'trace line 10\n' "$work/err"
  expect_contains $'systemctl enable tarn\\ users\n' "$work/err"
  expect_contains "sandbox: kept $state" "$work/err"
  expect_file_eq $'payload\n' "$state/trees/opt/brevantis/tarn/bin/tarn"
  expect_eq /opt/brevantis/tarn/bin/tarn "$(readlink "$state/trees/var/opt/brevantis/tarn/link")" \
    "link copied as a link"
  expect_file_eq $'42\n' "$state/trees/run/tarn.pid"
  [[ -f $state/trees/var/log/brevantis/tarn/tarn_launcher.log ]] || fail "trace file not saved"
}

# Removing the state directory does not follow links out of it.
test_removal_stays_inside() {
  local outside=$work/outside state=$work/link-state
  mkdir -p -- "$outside/dir"
  echo precious >"$outside/dir/file"
  # shellcheck disable=SC2016 # Expanded inside.
  run_sandbox --state "$state" -- bash -c \
    'ln -s "$1" "$LAUNCHER_SANDBOX/to-dir" && mkdir "$LAUNCHER_SANDBOX/sub" &&
     ln -s "$1/dir/file" "$LAUNCHER_SANDBOX/sub/to-file"' link "$outside"
  expect_eq 0 "$status" "exit status"
  [[ ! -e $state ]] || fail "state $state was not removed"
  expect_file_eq $'precious\n' "$outside/dir/file"
}

# Standard input reaches the command, and a termination signal sent to the sandbox
# reaches it too.
test_io_and_signals() {
  local pid state flavour number=0
  for flavour in systemd-lookalike systemd; do
    number=$((number + 1))
    status=0
    printf 'line one\nline two\n' | "$sandbox" --init "$flavour" --state "$work/stdin-$number" -- \
      tac >"$work/out" 2>"$work/err" || status=$?
    expect_eq 0 "$status" "exit status of tac under $flavour"
    expect_file_eq $'line two\nline one\n' "$work/out"

    # The state directory is the host's also under the real systemd, whose /tmp is its own.
    state=$work/signal-$number
    # shellcheck disable=SC2016 # Expanded inside.
    "$sandbox" --init "$flavour" --state "$state" -- \
      bash -c 'trap "exit 7" TERM; : >"$LAUNCHER_SANDBOX/ready"; sleep 20 & wait' \
      >"$work/out" 2>"$work/err" &
    pid=$!
    sandbox_pids+=("$pid")
    wait_until "the signalled command to start under $flavour" test -e "$state/ready"
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    expect_eq 7 "$status" "exit status after SIGTERM to the sandbox under $flavour"
    expect_file_eq "sandbox: kept $state"$'\n' "$work/err"
  done
  expect_eq "" "$(leftovers)" "cgroups and processes left by the sandboxes"
}

# Wrong use is refused before anything is created.
test_refusals() {
  local cases=(
    # expected message | arguments
    "no command given|"
    "--init must be systemd, systemd-lookalike or sysv|--init upstart -- true"
    "contains \"systemd\"|--state $work/systemd-state -- true"
    "lies below /var|--state /var/log/$marker -- true"
    "is not empty|--state $work/used -- true"
  )
  local entry message arguments words=()
  mkdir -p -- "$work/used"
  echo keep >"$work/used/file"
  for entry in "${cases[@]}"; do
    IFS='|' read -r message arguments <<<"$entry"
    read -r -a words <<<"$arguments"
    run_sandbox "${words[@]}"
    expect_eq 125 "$status" "exit status of sandbox $arguments"
    expect_contains "$message" "$work/err"
  done
  [[ ! -e $work/systemd-state && ! -e /var/log/$marker ]] || fail "a refused state directory was created"
  expect_file_eq $'keep\n' "$work/used/file"
  expect_eq "file" "$(ls -A "$work/used")" "content of a refused state directory"

  status=0
  env -u SANDBOX_INIT_BINARY "$sandbox" -- true >"$work/out" 2>"$work/err" || status=$?
  expect_eq 125 "$status" "exit status without an init binary"
  expect_contains "no init binary" "$work/err"

  status=0
  setpriv --reuid=65534 --regid=65534 --clear-groups -- "$sandbox" -- true \
    >"$work/out" 2>"$work/err" || status=$?
  expect_eq 125 "$status" "exit status when not root"
  expect_contains "must run as root" "$work/err"
}

# The stand-in records each call as one line, quoting what needs it as printf %q does.
test_standin_records_and_answers() {
  local state=$work/standin entry expected arguments=() answer
  mkdir -p -- "$state/answers"
  # The expected line, then the arguments; "|" separates them.
  local cases=(
    'iptables -w -A INPUT|-w|-A|INPUT'
    'groupadd -r -g 901 brevantis|-r|-g|901|brevantis'
    'semanage fcontext -a -t bin_t /opt/brevantis/tarn\(/.\*\)\?|fcontext|-a|-t|bin_t|/opt/brevantis/tarn(/.*)?'
    'rpm -q --qf=a,b:c+d@e%f=g_h.i/j-k|-q|--qf=a,b:c+d@e%f=g_h.i/j-k'
    'rpm -q --qf=%\{VERSION\}\,|-q|--qf=%{VERSION},'
    "dpkg a\\ b '' it\\'s \\\$HOME \\*|a b||it's|\$HOME|*"
    'systemctl'
  )
  for entry in "${cases[@]}"; do
    IFS='|' read -r -a arguments <<<"$entry"
    expected=${arguments[0]}
    arguments=("${arguments[@]:1}")
    : >"$state/calls"
    # The tool name is the first word of the expected line.
    "$standin_tool" "$state" "${expected%% *}" "${arguments[@]}" >"$work/out"
    expect_file_eq "$expected"$'\n' "$state/calls"
    expect_file_eq "" "$work/out"
  done

  : >"$state/calls"
  "$standin_tool" "$state" dpkg -s $'two\nlines'
  expect_file_eq $'dpkg -s $\'two\\nlines\'\n' "$state/calls"

  for answer in "-p FragmentPath multi-user.target" "--property=FragmentPath multi-user.target" \
    "multi-user.target -p FragmentPath"; do
    read -r -a arguments <<<"$answer"
    expect_eq FragmentPath=/lib/systemd/system/multi-user.target \
      "$("$standin_tool" "$state" systemctl show "${arguments[@]}")" "systemctl show $answer"
  done
  expect_eq /lib/systemd/system/multi-user.target \
    "$("$standin_tool" "$state" systemctl show -p FragmentPath --value multi-user.target)" "--value"
  expect_eq "" "$("$standin_tool" "$state" systemctl show -p FragmentPath tarn.service)" "other unit"
  expect_eq "" "$("$standin_tool" "$state" rpm show -p FragmentPath multi-user.target)" "other tool"

  # A hook answers with its output and status; a hook that is not executable is ignored.
  printf '#!/usr/bin/env bash\necho "answer $#: $*"; echo warning >&2; exit 4\n' >"$state/answers/rpm"
  chmod 0755 -- "$state/answers/rpm"
  status=0
  env -i "$standin_tool" "$state" rpm -q 'tarn agent' >"$work/out" 2>"$work/err" || status=$?
  expect_eq 4 "$status" "exit status answered by the hook"
  expect_file_eq $'answer 2: -q tarn agent\n' "$work/out"
  expect_file_eq $'warning\n' "$work/err"
  chmod 0644 -- "$state/answers/rpm"
  expect_eq "" "$("$standin_tool" "$state" rpm -q x)" "answer with a non-executable hook"

  # A real copy answers after the record, under the tool's own name and with a PATH even
  # in a bare environment; a hook still wins over it.
  mkdir -p -- "$state/real"
  # shellcheck disable=SC2016 # Expanded by the real copy.
  printf '#!/usr/bin/env bash\necho "real ${0##*/} $* PATH=$PATH"; exit 5\n' >"$state/real/rpm"
  chmod 0755 -- "$state/real/rpm"
  : >"$state/calls"
  status=0
  env -i "$standin_tool" "$state" rpm -q 'tarn agent' >"$work/out" || status=$?
  expect_eq 5 "$status" "exit status of the real copy"
  expect_file_eq $'real rpm -q tarn agent PATH=/usr/sbin:/usr/bin:/sbin:/bin\n' "$work/out"
  expect_file_eq $'rpm -q tarn\\ agent\n' "$state/calls"
  chmod 0755 -- "$state/answers/rpm"
  status=0
  "$standin_tool" "$state" rpm -q x >"$work/out" 2>/dev/null || status=$?
  expect_eq 4 "$status" "exit status with both a hook and a real copy"
  expect_file_eq $'answer 2: -q x\n' "$work/out"
}

test_refusals
test_standin_records_and_answers
test_host_unchanged
test_real_systemd
test_other_copies_removed
test_status_and_state
test_pidns_check
test_failure_report
test_removal_stays_inside
test_io_and_signals
