#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# End-to-end test of the test sandbox. Runs on the host as root and starts sandboxes with
# the init program named by $SANDBOX_INIT_BINARY (and the console helper beside it);
# sandbox_inside_test.sh is the part that runs inside them. The host's files, kernel
# settings, control groups and mounts are compared before and after all of it, killed
# sandboxes included.
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
# Shown to the sandboxes under the real systemd, whose /tmp is their own.
shared=$work/shared
mkdir -- "$shared"

# Fixed paths that the product and its tests use; whether and how each exists on the host
# must not change.
readonly FIXED_PATHS=(
  /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis
  /usr/lib/modules /lib/modules /etc/init.d /etc/systemd /usr/lib/systemd/system /run /var/run
)

# Kernel settings that change by themselves: counters, statistics and random values.
readonly VOLATILE_SYSCTLS='^(fs\.(dentry-state|dentry-negative|file-nr|inode-nr|inode-state|aio-nr|pipe-keep|quota\.[a-z_]*)|kernel\.(ns_last_pid|pty\.nr|random\.[a-z_]*)|net\.netfilter\.nf_conntrack_count) '

# Where the host mounts its cgroup2 hierarchy, below which the sandboxes under the real
# systemd have their control groups.
cgroup2_root() {
  local dir
  for dir in /sys/fs/cgroup/unified /sys/fs/cgroup; do
    if [[ $(stat -f -c %T -- "$dir") == cgroup2fs ]]; then
      printf '%s\n' "$dir"
      return 0
    fi
  done
  fail "the host has no cgroup2 hierarchy"
}
cgroup2=$(cgroup2_root)
pid_namespace=$(readlink /proc/self/ns/pid)
pid_namespace=${pid_namespace//[!0-9]/}

# True when no control group of the sandbox that ran as process PID is left.
no_sandbox_group() {
  ! compgen -G "$cgroup2/launcher-sandbox.$pid_namespace.$1.*" >/dev/null
}

expect_no_sandbox_group() {
  no_sandbox_group "$1" ||
    fail "the sandbox $1 left its control group $(compgen -G "$cgroup2/launcher-sandbox.$pid_namespace.$1.*")"
}

# Runs the sandbox, storing stdout, stderr and the exit status in $work/out, $work/err and
# $status. Whatever the outcome, the sandbox's control group must be gone.
run_sandbox() {
  local pid
  status=0
  "$sandbox" "$@" >"$work/out" 2>"$work/err" &
  pid=$!
  wait "$pid" || status=$?
  expect_no_sandbox_group "$pid"
}

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
  # Kernel settings (systemd would raise fs.file-max and set fs.protected_*), the host's
  # name and mounts, and its control groups apart from those of sandboxes that other
  # tests run meanwhile (run_sandbox checks that each of this test's own is gone).
  sysctl -a 2>/dev/null | grep -Ev "$VOLATILE_SYSCTLS" | LC_ALL=C sort
  hostname
  findmnt -rn -o TARGET,FSTYPE,OPTIONS | LC_ALL=C sort
  find /sys/fs/cgroup -maxdepth 2 -type d ! -name 'launcher-sandbox*' | LC_ALL=C sort
}

# A run that writes everywhere leaves nothing on the host, in every flavour; the inner
# half checks the view from inside.
test_each_flavour() {
  local flavour state path number=0
  for flavour in systemd systemd-standin sysv; do
    number=$((number + 1))
    state=$work/flavour-state-$number
    SANDBOX_TEST_CALLER_VARIABLE="passed on" \
      run_sandbox --init "$flavour" --state "$state" -- "$inside_test" "$flavour" "$marker"
    if ((status != 0)); then
      cat -- "$work/out" "$work/err" >&2
      fail "the inner test failed with status $status in a $flavour sandbox"
    fi
    expect_contains "sandbox_inside_test.sh: PASS" "$work/err"
    [[ ! -e $state ]] || fail "the state directory $state of a passing run is still there"
  done
  for path in /opt/brevantis /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /run /etc \
    /etc/init.d /etc/systemd/system /usr/bin /usr/sbin /usr/lib/modules /usr/lib/systemd/system \
    /var/lib /var/tmp /usr/share; do
    [[ ! -e $path/$marker && ! -e $path/$marker.service ]] || fail "$path/$marker reached the host"
  done
  [[ ! -e /run/$marker.pid && ! -e /usr/lib/systemd/system/$marker-lib.service ]] ||
    fail "files written inside reached the host"
  # Daemons left behind, even ones that ignore SIGTERM, die with the sandbox; so does the
  # service started under the real systemd.
  not pgrep -f "leftover-$marker" >/dev/null
}

# Nothing of a sandbox whose own process was killed outright stays behind: systemd and
# everything in its PID namespace die with it, and its reaper removes its control group.
test_killed_sandbox() {
  local state=$work/killed-state ready=$shared/killed-ready pid
  # shellcheck disable=SC2016 # Expanded inside.
  "$sandbox" --bind "$shared" --state "$state" -- bash -c ': >"$1"; exec sleep 600' killed "$ready" \
    >"$work/out" 2>&1 &
  pid=$!
  wait_until "the sandbox to be killed to run its command" test -e "$ready"
  kill -s KILL "$pid"
  # (Without the shell's report of the killed job.)
  { wait "$pid"; } 2>/dev/null || true
  wait_until "the killed sandbox's control group to go" no_sandbox_group "$pid"
  # The last of its processes are reaped by the host's init.
  wait_until "the killed sandbox's processes to end" no_process_in "$(<"$state/pidns")"
}

# True when no process, not even one that has ended, is in the PID namespace PIDNS.
no_process_in() {
  local process
  for process in /proc/[0-9]*; do
    [[ $(readlink "$process/ns/pid" 2>/dev/null) != "$1" ]] || return 1
  done
}

# A sandbox cleans up after one that was killed before its reaper could: a group named like
# a sandbox's whose owner has gone (here this shell with another start time) is emptied
# and removed.
test_stale_group_removed() {
  local group=$cgroup2/launcher-sandbox.$pid_namespace.$$.1 sleeper
  mkdir -p -- "$group/init"
  at_exit remove_test_group "$group"
  sleep 600 &
  sleeper=$!
  # Its end is checked below; the shell need not report it.
  disown "$sleeper"
  echo "$sleeper" >"$group/init/cgroup.procs"
  run_sandbox -- true
  expect_eq 0 "$status" "exit status of the sandbox after a stale group"
  [[ ! -e $group ]] || fail "the stale group $group is still there"
  wait_until "the process in the stale group to end" test ! -e "/proc/$sleeper"
}

remove_test_group() {
  [[ -d $1 ]] || return 0
  echo 1 >"$1/cgroup.kill"
  sleep 0.2
  find "$1" -depth -type d -exec rmdir -- {} +
}

# Two sandboxes under the real systemd run side by side, each with its own name, PID
# namespace and control group.
test_two_at_once() {
  local number pids=() first second
  for number in 1 2; do
    # shellcheck disable=SC2016 # Expanded inside.
    "$sandbox" --bind "$shared" --state "$work/twin-$number" -- bash -c '
      shared=$1 self=$2 other=$3
      { hostname; readlink /proc/self/ns/pid; } >"$shared/twin-$self"
      for ((attempt = 0; attempt < 3000; attempt++)); do
        [[ ! -e $shared/twin-$other ]] || exit 0
        sleep 0.01
      done
      exit 1' twin "$shared" "$number" "$((3 - number))" >"$work/twin-$number.out" 2>&1 &
    pids+=("$!")
  done
  for number in 1 2; do
    status=0
    wait "${pids[number - 1]}" || status=$?
    expect_eq 0 "$status" "exit status of sandbox $number of two ($(<"$work/twin-$number.out"))"
    expect_no_sandbox_group "${pids[number - 1]}"
  done
  first=$(paste -s -d ' ' "$shared/twin-1")
  second=$(paste -s -d ' ' "$shared/twin-2")
  [[ ${first% *} != "${second% *}" && ${first% *} != "$(hostname)" ]] ||
    fail "host names of two sandboxes and the host: ${first% *}, ${second% *}, $(hostname)"
  [[ ${first#* } != "${second#* }" ]] || fail "two sandboxes share the PID namespace ${first#* }"
}

# After all of the above, the host is as it was before.
test_host_unchanged() {
  host_snapshot >"$work/after"
  if ! diff -u "$work/before" "$work/after" >"$work/host.diff"; then
    fail "$(printf 'the host changed:\n%s' "$(head -n 40 "$work/host.diff")")"
  fi
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
    "$sandbox" --init systemd-standin --state "$work/plant-state" -- bash -c '
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
# --keep was given, and removed otherwise.
test_status_and_state() {
  local cases=(
    # options | command | status | kept
    "|exit 0|0|no"
    "|exit 3|3|yes"
    "|exit 42|42|yes"
    "|kill -TERM \$\$|143|yes"
    "--keep|exit 0|0|yes"
  )
  local entry options command expected kept state number=0 option_words=() flavour
  for entry in "${cases[@]}"; do
    IFS='|' read -r options command expected kept <<<"$entry"
    read -r -a option_words <<<"$options"
    for flavour in systemd systemd-standin; do
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
systemctl enable 'tarn users' 2>/dev/null || true
expect_eq installed missing "state of the agent"
echo "not reached"
EOF
  chmod 0755 -- "$script"
  run_sandbox --bind "$work" --state "$state" -- "$script"
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
  local pid ready flavour number=0 state
  for flavour in systemd systemd-standin; do
    number=$((number + 1))
    status=0
    printf 'line one\nline two\n' | "$sandbox" --init "$flavour" --state "$work/stdin-$number" -- \
      tac >"$work/out" 2>"$work/err" || status=$?
    expect_eq 0 "$status" "exit status of tac under $flavour"
    expect_file_eq $'line two\nline one\n' "$work/out"

    ready=$shared/ready-$number
    state=$work/signal-$number
    # shellcheck disable=SC2016 # Expanded inside.
    "$sandbox" --init "$flavour" --bind "$shared" --state "$state" -- \
      bash -c 'trap "exit 7" TERM; : >"$1"; sleep 20 & wait' signal "$ready" \
      >"$work/out" 2>"$work/err" &
    pid=$!
    wait_until "the signalled command to start under $flavour" test -e "$ready"
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    expect_eq 7 "$status" "exit status after SIGTERM to the sandbox under $flavour"
    expect_file_eq "sandbox: kept $state"$'\n' "$work/err"
    expect_no_sandbox_group "$pid"
  done
}

# Wrong use is refused before anything is created.
test_refusals() {
  local cases=(
    # expected message | arguments
    "no command given|"
    "--init must be systemd, systemd-standin or sysv|--init upstart -- true"
    "lies below /usr|--bind /usr/share -- true"
    "is or lies below /tmp|--bind /tmp -- true"
    "no such directory|--bind $work/missing -- true"
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

host_snapshot >"$work/before"
test_refusals
test_standin_records_and_answers
test_each_flavour
test_killed_sandbox
test_stale_group_removed
test_two_at_once
test_other_copies_removed
test_status_and_state
test_pidns_check
test_failure_report
test_removal_stays_inside
test_io_and_signals
test_host_unchanged
