# shellcheck shell=bash
# The sandbox's systemd flavour: the host's own systemd runs as PID 1 of the sandbox, and the
# command runs inside it, so that the product meets the real service manager (Type=forking
# and the PIDFile, start timeouts, restart policies, the control group killed at a stop,
# masks, daemon-reload). Sourced by the sandbox script, whose helpers (die, the state
# directory, copy_real_tools, install_standins, configure_rpm) it uses.
#
# How it runs, outside in:
#   1. unshare gives the sandbox new mount, PID, UTS, IPC and network namespaces; its PID 1
#      is this script (inside_real_systemd). It dies with the sandbox script (a parent-death
#      signal), and the namespace's processes with it.
#   2. PID 1 moves itself into a cgroup of its own below the host's cgroup2 hierarchy, lays
#      the sandbox's root (an overlay of / whose changes go to a tmpfs, fresh /proc, /sys
#      read-only, tmpfs /tmp and /dev, the kernel settings read-only but for the
#      network namespace's), binds the state directory, the checkout and the build tree in,
#      and enters a cgroup namespace (boot_real_systemd). The cgroup is named after the
#      sandbox script's process, launcher-sandbox.<PID namespace>.<pid>.<start time>, and
#      so is the host name, launcher-sandbox-<pid>: sandboxes run side by side.
#   3. There it mounts cgroup2 as the sandbox's own hierarchy, turns to the new root, mounts
#      empty tmpfs on the product trees and /run, puts the recording wrappers in place,
#      masks what must not run here, and executes systemd with a bounding set that cannot
#      load kernel modules, reach raw I/O or set the clock.
#   4. The sandbox script waits until systemd has booted, runs the command inside through
#      nsenter, then powers systemd off (SIGRTMIN+4; SIGKILL after a grace period) and
#      removes the cgroup. A detached reaper removes the cgroup too when the sandbox script
#      is killed; a run also removes the cgroups of sandboxes whose script no longer runs.

# Where the sandboxes' cgroups live: the host's cgroup2 hierarchy (the unified one of a
# hybrid layout, or the root of a pure one).
readonly CGROUP_NAME_PREFIX=launcher-sandbox.
# The whole name: the prefix, then the PID namespace, pid and start time of the sandbox
# script's process.
readonly CGROUP_NAME_PATTERN='^launcher-sandbox\.([0-9]+)\.([0-9]+)\.([0-9]+)$'
# Units that would hang without a terminal, wait for a network, or reach the host (clock,
# packages, databases), and the timers that start such jobs.
readonly MASKED_UNITS=(
  getty.target console-getty.service getty@.service serial-getty@.service
  systemd-timesyncd.service ntp.service chrony.service systemd-networkd.service
  networking.service NetworkManager.service ssh.service ssh.socket cron.service
  timers.target apt-daily.timer apt-daily-upgrade.timer man-db.timer
  postgresql.service mariadb.service mysql.service redis-server.service nginx.service
  memcached.service
)
# Capabilities that act on the host's kernel as a whole, which neither systemd nor the
# command gets: loading modules, raw I/O, setting the clock.
readonly DROPPED_CAPABILITIES=-sys_module,-sys_rawio,-sys_time
# The target that the sandbox boots into: the basic system, nothing that multi-user adds.
readonly SANDBOX_TARGET=launcher-sandbox.target
# Seconds for systemd to boot and to power off.
readonly BOOT_TIMEOUT=60
readonly POWEROFF_GRACE=15

cgroup_root() {
  if [[ -f /sys/fs/cgroup/unified/cgroup.procs ]]; then
    printf '%s\n' /sys/fs/cgroup/unified
  elif [[ -f /sys/fs/cgroup/cgroup.procs ]]; then
    printf '%s\n' /sys/fs/cgroup
  else
    return 1
  fi
}

# Kills what is left in the cgroup DIR of a sandbox that has ended and removes it with the
# cgroups that systemd made below it, deepest first. A cgroup can go once its last process
# has been released, which may take a moment after the kill: fails when DIR is still
# there after five seconds.
remove_cgroup() {
  local dir=$1 deadline=$((SECONDS + 5))
  [[ -d $dir ]] || return 0
  grep -qx 'populated 0' "$dir/cgroup.events" 2>/dev/null || echo 1 >"$dir/cgroup.kill" 2>/dev/null || true
  while :; do
    find "$dir" -depth -type d -exec rmdir {} + 2>/dev/null || true
    [[ -d $dir ]] || return 0
    ((SECONDS < deadline)) || return 1
    sleep 0.02
  done
}

# Sets start_time to the start time of process PID (clock ticks after boot), which with the
# pid names a process for good; fails when no such process runs (one that has ended and
# waits for its parent does not count).
read_start_time() {
  local stat fields=()
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  # The command name in parentheses may hold blanks: the state is field 3, the start time
  # field 22.
  read -r -a fields <<<"${stat##*) }"
  [[ ${fields[0]} != Z ]] || return 1
  start_time=${fields[19]}
}

# Whether process PID, started at START, still runs.
process_runs() {
  local start_time
  read_start_time "$1" && [[ $start_time == "$2" ]]
}

own_pid_namespace() {
  local link
  link=$(readlink /proc/self/ns/pid)
  link=${link#*[}
  printf '%s\n' "${link%]}"
}

# Removes the cgroups of sandboxes that were killed too hard to clean up after themselves:
# those whose script no longer runs. A cgroup named from another PID namespace cannot be
# judged here and stays.
remove_stale_cgroups() {
  local root=$1 dir name pid_namespace pid start
  pid_namespace=$(own_pid_namespace)
  for dir in "$root/$CGROUP_NAME_PREFIX"*; do
    name=${dir##*/}
    [[ -d $dir && $name =~ $CGROUP_NAME_PATTERN && ${BASH_REMATCH[1]} == "$pid_namespace" ]] ||
      continue
    pid=${BASH_REMATCH[2]}
    start=${BASH_REMATCH[3]}
    if process_runs "$pid" "$start"; then
      continue
    fi
    remove_cgroup "$dir" ||
      printf '%s: warning: could not remove the cgroup %s of a killed sandbox\n' "$PROGRAM" "$dir" >&2
  done
}

# The directories of the host that the command works in, to be bound in at the same paths:
# the state directory, the checkout, the build tree of the init binary and the working
# directory. The overlay of / shows none of them writable (and not at all when they lie on
# another file system or below the sandbox's own /tmp). One that is / or /tmp, or lies
# below a system tree, is left to the overlay: bound in, it would let the command change
# the host's system files.
bind_points() {
  local state=$1 self=$2 init_binary=$3 cwd=$4 path root
  for path in "$state" "$(realpath -e -- "${self%/*}/../..")" \
    "$(realpath -e -- "${init_binary%/*}")" "$cwd"; do
    [[ $path != / && $path != /tmp ]] || continue
    for root in "${HIDDEN_ROOTS[@]}"; do
      if is_below "$path" "$root"; then
        continue 2
      fi
    done
    printf '%s\n' "$path"
  done | LC_ALL=C sort -u
}

# The pid of the first child of PID (unshare's child is the sandbox's PID 1).
first_child() {
  local children=()
  # The list has no line end: read reports the end of file, having read it.
  read -r -a children <"/proc/$1/task/$1/children" 2>/dev/null || true
  ((${#children[@]} > 0)) || return 1
  printf '%s\n' "${children[0]}"
}

# Sets entry to the words that run a command inside the booted sandbox whose PID 1 has the
# host pid PID1, in its directory CWD and with the bounding set of systemd there.
set_sandbox_entry() {
  local pid1=$1 cwd=$2
  entry=(setpriv --bounding-set "$DROPPED_CAPABILITIES" --
    nsenter --target "$pid1" --mount --uts --ipc --net --pid --cgroup --root --wdns="$cwd" --)
}

# Outside: boots the sandbox, runs the command in it and powers it off. Sets
# command_status (the command's exit status) and, while it runs, command_pid (nsenter's).
run_real_systemd() {
  local state=$1 init_binary=$2 cwd=$3
  shift 3
  local self=$SANDBOX_SELF cgroups name start_time unshare_pid pid1 waited entry
  cgroups=$(cgroup_root) || die "no cgroup2 hierarchy at /sys/fs/cgroup/unified or /sys/fs/cgroup"
  [[ -x /lib/systemd/systemd ]] || die "/lib/systemd/systemd is not installed"
  command -v nsenter >/dev/null || die "nsenter (util-linux) is not installed"
  remove_stale_cgroups "$cgroups"
  # Named after this script's process, which no other sandbox can share, and which tells
  # whether the sandbox still runs.
  read_start_time "$$" || die "cannot read the start time of process $$"
  name=$CGROUP_NAME_PREFIX$(own_pid_namespace).$$.$start_time
  bind_points "$state" "$self" "$init_binary" "$cwd" >"$state/binds"

  # The sandbox's PID 1 dies with this script (SIGKILL when it is killed), and every process
  # of the sandbox with PID 1.
  setpriv --pdeathsig KILL -- unshare --mount --pid --net --uts --ipc --fork --kill-child \
    --propagation private -- "$BASH" "$self" --inside-real-systemd "$state" "$cgroups/$name" \
    "launcher-sandbox-$$" </dev/null >"$state/boot.log" 2>&1 &
  unshare_pid=$!
  start_cgroup_reaper "$cgroups/$name" "$$" "$start_time"
  for ((waited = 0; waited < 500; waited++)); do
    pid1=$(first_child "$unshare_pid") && break
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.01
  done
  [[ -n ${pid1:-} ]] || die "the sandbox's PID 1 did not start: $(tail -n 5 "$state/boot.log")"
  wait_for_boot "$pid1" "$unshare_pid" "$state"

  # shellcheck disable=SC2034 # Read by the sandbox script.
  command_status=0
  # In a scope of its own, as an administrator's shell runs in a session: what the command
  # leaves running is the service manager's to end at the power-off, quickly.
  # Run directly, not in a subshell of this one, which would report a command killed by a
  # signal ("Terminated") on the sandbox's standard error.
  set_sandbox_entry "$pid1" "$cwd"
  "${entry[@]}" systemd-run --quiet --scope --collect --unit=launcher-sandbox-command \
    --property=TimeoutStopSec=2s -- "$@" <&0 &
  command_pid=$!
  while :; do
    interrupted=0
    if wait "$command_pid"; then
      command_status=0
    else
      # shellcheck disable=SC2034 # Read by the sandbox script.
      command_status=$?
    fi
    ((interrupted)) || break
  done
  command_pid=""
  power_off "$pid1" "$unshare_pid"
  remove_cgroup "$cgroups/$name" || printf '%s: warning: could not remove the cgroup %s\n' \
    "$PROGRAM" "$cgroups/$name" >&2
}

# Waits until systemd reports the end of its boot; a sandbox that does not boot is the
# sandbox's failure, with systemd's own words in the state directory.
# Whether PID1 is systemd in the sandbox's own root with its private socket open. Until
# then PID 1 is this script, /proc/PID1/root may still be the host's root, and a systemd of
# the host may have a socket there: never ask that one.
systemd_started() {
  local pid1=$1
  [[ $(readlink "/proc/$pid1/exe" 2>/dev/null) == */lib/systemd/systemd &&
    $(stat -L -c %d:%i "/proc/$pid1/root/" 2>/dev/null) != "$(stat -L -c %d:%i /)" &&
    -S /proc/$pid1/root/run/systemd/private ]]
}

wait_for_boot() {
  local pid1=$1 unshare_pid=$2 state=$3 answer waited entry
  for ((waited = 0; waited < BOOT_TIMEOUT * 100; waited++)); do
    systemd_started "$pid1" && break
    kill -0 "$unshare_pid" 2>/dev/null || die "the sandbox ended while it set up: $(tail -n 5 "$state/boot.log")"
    sleep 0.01
  done
  systemd_started "$pid1" || die "systemd did not start in the sandbox within $BOOT_TIMEOUT s"
  # The real systemctl, which records nothing: the sandbox's own questions are not the
  # command's calls.
  answer=$(timeout "$BOOT_TIMEOUT" nsenter --target "$pid1" --mount --pid --root -- \
    "$state/real/systemctl" is-system-running --wait 2>&1) || true
  if [[ $answer != running ]]; then
    set_sandbox_entry "$pid1" /
    "${entry[@]}" "$state/real/systemctl" --no-pager --failed >>"$state/boot.log" 2>&1 || true
    die "systemd in the sandbox did not boot (it says \"$answer\"; see $state/boot.log)"
  fi
}

# Powers the sandbox's systemd off and waits for the sandbox to end; kills it after the
# grace period.
power_off() {
  local pid1=$1 unshare_pid=$2 waited
  kill -s RTMIN+4 "$pid1" 2>/dev/null || true
  # Polled finely: the power-off itself takes a few tens of milliseconds.
  for ((waited = 0; waited < POWEROFF_GRACE * 50; waited++)); do
    kill -0 "$unshare_pid" 2>/dev/null || break
    sleep 0.02
  done
  if kill -0 "$unshare_pid" 2>/dev/null; then
    printf '%s: warning: systemd did not power off within %s s; killing it\n' "$PROGRAM" \
      "$POWEROFF_GRACE" >&2
    kill -KILL "$pid1" 2>/dev/null || true
  fi
  wait "$unshare_pid" 2>/dev/null || true
}

# A detached process that removes the sandbox's cgroup once the sandbox script (PID,
# started at START) is gone, however it ended: a killed script cannot clean up itself. In
# a session of its own, and no child of the script, so that neither a signal to the
# caller's process group nor the killing of the script's process tree reaches it.
start_cgroup_reaper() {
  local cgroup=$1 pid=$2 start=$3
  (setsid "$BASH" "$SANDBOX_SELF" --reap-cgroup "$cgroup" "$pid" "$start" </dev/null >/dev/null 2>&1 &)
}

# The reaper (sandbox --reap-cgroup CGROUP PID START).
reap_cgroup() {
  local cgroup=$1 pid=$2 start=$3
  while process_runs "$pid" "$start"; do
    sleep 0.2
  done
  remove_cgroup "$cgroup"
}

# ---------------------------------------------------------------------------------------
# Inside: PID 1 of the new namespaces, before systemd.
# ---------------------------------------------------------------------------------------

# Mounts the read-only view of the kernel's settings: only the network namespace's own
# stay writable, so that nothing systemd or its units set reaches the host.
mount_proc() {
  local root=$1
  mount -t proc -o nosuid,nodev,noexec proc "$root/proc" || die "cannot mount /proc"
  {
    mount --bind "$root/proc/sys" "$root/proc/sys" &&
      mount --bind "$root/proc/sys/net" "$root/proc/sys/net" &&
      mount -o remount,bind,ro "$root/proc/sys" &&
      { [[ ! -e $root/proc/sysrq-trigger ]] || mount --bind -o ro /dev/null "$root/proc/sysrq-trigger"; }
  } || die "cannot make the kernel's settings read-only"
}

# A minimal /dev: the usual character devices of the host, a private pty instance, and the
# null device as the console (nothing reads a console here).
mount_dev() {
  local root=$1 node
  mount -t tmpfs -o mode=0755,nosuid tmpfs "$root/dev" || die "cannot mount /dev"
  for node in null zero full random urandom tty; do
    { touch "$root/dev/$node" && mount --bind "/dev/$node" "$root/dev/$node"; } ||
      die "cannot bind /dev/$node"
  done
  mkdir "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts" ||
    die "cannot mount /dev/pts"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/dev/shm" || die "cannot mount /dev/shm"
  { touch "$root/dev/console" && mount --bind /dev/null "$root/dev/console"; } ||
    die "cannot bind /dev/console"
  ln -s pts/ptmx "$root/dev/ptmx"
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
}

inside_real_systemd() {
  local state=$1 cgroup=$2 hostname=$3 root layers path output
  ((BASHPID == 1)) || die "internal error: the inner step is not PID 1 of a new PID namespace"
  { mkdir "$cgroup" && echo 0 >"$cgroup/cgroup.procs"; } || die "cannot make the cgroup $cgroup"
  root=$state/root
  layers=$state/layers
  mkdir -p -- "$root" "$layers"
  { mount -t tmpfs -o mode=0700 tmpfs "$layers" && mkdir "$layers/upper" "$layers/work"; } ||
    die "cannot mount the tmpfs for the root's changes"
  if ! output=$(mount -t overlay overlay \
    -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" -- "$root" 2>&1); then
    die "cannot lay an overlay over /: $output"
  fi
  mount_proc "$root"
  mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys" || die "cannot mount /sys"
  mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp" || die "cannot mount /tmp"
  mount_dev "$root"
  while IFS= read -r path; do
    { mkdir -p -- "$root$path" && mount --rbind -- "$path" "$root$path"; } || die "cannot bind $path in"
  done <"$state/binds"
  printf '%s' "$(readlink /proc/self/ns/pid)" >"$state/pidns" || die "cannot write $state/pidns"
  exec unshare --cgroup -- "$BASH" "$SANDBOX_SELF" --boot-real-systemd "$state" "$hostname"
}

# Still PID 1, now in a cgroup namespace whose root is the sandbox's cgroup.
boot_real_systemd() {
  local state=$1 hostname=$2 root unit
  root=$state/root
  mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$root/sys/fs/cgroup" ||
    die "cannot mount the sandbox's cgroup2 hierarchy"
  cd -- "$root" || die "cannot enter $root"
  mkdir -p .sandbox-old-root
  pivot_root . .sandbox-old-root || die "cannot turn to the sandbox's root"
  cd /
  { umount -l /.sandbox-old-root && rmdir /.sandbox-old-root; } || die "cannot let go of the host's root"

  # The product trees and /run start empty, as in the other flavours, whatever the host has.
  mount_empty_trees
  # systemctl too: here it has a service manager to talk to.
  copy_real_tools "${PASS_THROUGH[@]}" systemctl
  install_standins
  configure_rpm
  # systemd names the host from this file: a shell inside tells where it is. As Debian's
  # installer does, the name resolves to a loopback address (rpmbuild looks it up).
  { echo "$hostname" >/etc/hostname && printf '127.0.1.1\t%s\n' "$hostname" >>/etc/hosts; } ||
    die "cannot name the host $hostname"
  for unit in "${MASKED_UNITS[@]}"; do
    ln -sfn /dev/null "/etc/systemd/system/$unit"
  done
  printf '[Unit]\nDescription=Launcher sandbox\nRequires=basic.target\nAfter=basic.target\nAllowIsolate=yes\n' \
    >"/etc/systemd/system/$SANDBOX_TARGET"
  exec setpriv --bounding-set "$DROPPED_CAPABILITIES" -- \
    env -i container=other /lib/systemd/systemd --unit="$SANDBOX_TARGET"
}
