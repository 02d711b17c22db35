# shellcheck shell=bash disable=SC2154 # self, state_dir, HIDDEN_ROOTS...: from sandbox
# The systemd flavour of the launcher sandbox, sourced by tools/sandbox/sandbox: the host's
# own systemd boots as PID 1 of private PID, mount, UTS, IPC, network and cgroup
# namespaces, on an overlay of the host's root file system whose changes stay in memory,
# and the command runs inside it through nsenter.
#
# Each sandbox owns a control group below the host's cgroup2 hierarchy, named after the
# process that runs it: launcher-sandbox.<PID namespace>.<pid>.<start time>. Its child
# "init" is the root of the sandbox's cgroup namespace and holds systemd and all that it
# starts; its child "command" holds the command and whatever the command leaves running.
# The group goes when the sandbox ends. If the sandbox was killed, a reaper started with
# it, or failing that the next sandbox, kills what is left in the group and removes it.

readonly SYSTEMD=/lib/systemd/systemd
# What the sandbox boots into: the basic system and nothing of multi-user.target.
readonly SYSTEMD_TARGET=launcher-sandbox.target
readonly SANDBOX_CGROUP_PREFIX=launcher-sandbox
# Capabilities that act on the host's kernel as a whole: loading modules, raw I/O, the
# clock. Neither systemd nor the command gets them.
readonly DROPPED_CAPABILITIES=-sys_module,-sys_rawio,-sys_time
# Units that would wait for terminals, set the clock, configure the network or run
# periodic jobs. Besides these, every unit that the host itself enabled (a database
# server, ssh, apparmor, its timers) is masked: those are the host's business.
readonly MASKED_UNITS=(getty.target console-getty.service systemd-timesyncd.service
  systemd-networkd.service systemd-networkd.socket systemd-networkd-wait-online.service
  systemd-resolved.service networking.service NetworkManager.service timers.target)
# Kernel settings that the sandbox may change: those of its own network namespace.
readonly WRITABLE_PROC_SYS=/proc/sys/net
# Device nodes that the sandbox's /dev shares with the host.
readonly DEVICE_NODES=(null zero full random urandom tty)
# Seconds to wait for the boot to finish, and for systemd to power off before it is killed.
readonly BOOT_TIMEOUT=60
readonly POWER_OFF_GRACE=10

# ---------------------------------------------------------------------------------------
# Control groups, on the host
# ---------------------------------------------------------------------------------------

# Sets cgroup2_root to where the host mounts its cgroup2 hierarchy: /sys/fs/cgroup/unified
# on a host with the hybrid layout, /sys/fs/cgroup itself on one with the unified layout.
find_cgroup2_root() {
  local dir
  for dir in /sys/fs/cgroup/unified /sys/fs/cgroup; do
    if [[ $(stat -f -c %T -- "$dir" 2>/dev/null) == cgroup2fs ]]; then
      cgroup2_root=$dir
      return 0
    fi
  done
  die "the host has no cgroup2 hierarchy below /sys/fs/cgroup, which systemd needs"
}

# Sets process_state to the state letter of process PID (Z for one that has ended and
# waits for its parent) and start_time to its start time (clock ticks after boot), which
# with the pid names a process for good. Fails when there is no such process.
read_process_stat() {
  local stat fields=()
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  # The command name in parentheses may hold blanks; the state is field 3, the start
  # time field 22.
  read -r -a fields <<<"${stat##*) }"
  process_state=${fields[0]}
  start_time=${fields[19]}
}

# True when process PID is PID 1 of a PID namespace below this one.
is_namespace_init() {
  local key numbers=()
  while read -r key numbers; do
    if [[ $key == NSpid: ]]; then
      read -r -a numbers <<<"$numbers"
      ((${#numbers[@]} > 1 && numbers[-1] == 1))
      return
    fi
  done <"/proc/$1/status"
  return 1
}

# Sleeps for SECONDS without starting a process, as the waits below poll often: reads
# with a timeout from a pipe that this shell holds open for writing, so that no input and
# no end of input ever comes.
pause() {
  [[ -n ${pause_fd:-} ]] || exec {pause_fd}<> <(:)
  read -r -t "$1" -u "$pause_fd" || true
}

own_pid_namespace() {
  local link
  link=$(readlink /proc/self/ns/pid)
  link=${link#*[}
  printf '%s\n' "${link%]}"
}

# True while process PID, started at START, runs (an ended one that waits for its parent
# does not count).
process_alive() {
  local start_time process_state
  read_process_stat "$1" && [[ $start_time == "$2" && $process_state != Z ]]
}

# True while the process that owns the sandbox group NAME runs. Groups of sandboxes run
# from other PID namespaces cannot be judged and count as owned.
cgroup_owner_alive() {
  local name=$1 pid_namespace pid start
  IFS=. read -r _ pid_namespace pid start <<<"$name"
  [[ $pid_namespace == "$(own_pid_namespace)" ]] || return 0
  process_alive "$pid" "$start"
}

# Kills whatever is left in the group DIR and removes it with all its children. Fails
# when the group is still there after five seconds.
remove_sandbox_cgroup() {
  local dir=$1 deadline=$((SECONDS + 5))
  [[ -d $dir ]] || return 0
  cgroup_empty "$dir" || echo 1 >"$dir/cgroup.kill" 2>/dev/null || true
  while :; do
    # Children before parents; a group can go once its last process has been released.
    find "$dir" -depth -type d -exec rmdir -- {} + 2>/dev/null || true
    [[ -d $dir ]] || return 0
    ((SECONDS < deadline)) || return 1
    pause 0.01
  done
}

# True when the group DIR holds no process any more, nor does any group below it.
cgroup_empty() {
  local event value
  while read -r event value; do
    [[ $event != populated ]] || return "$value"
  done 2>/dev/null <"$1/cgroup.events"
  return 1
}

# Removes the groups of sandboxes whose owner is gone, killed before it could clean up.
sweep_stale_cgroups() {
  local dir name
  for dir in "$cgroup2_root/$SANDBOX_CGROUP_PREFIX".*; do
    name=${dir##*/}
    [[ -d $dir && $name =~ ^$SANDBOX_CGROUP_PREFIX\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || continue
    cgroup_owner_alive "$name" && continue
    remove_sandbox_cgroup "$dir" ||
      printf '%s: warning: could not remove %s, left by a killed sandbox\n' "$PROGRAM" "$dir" >&2
  done
}

# sandbox --reap DIR PID START: waits until the process PID that started at START has
# ended, then removes the group DIR if it is still there. Runs detached from the sandbox,
# so that it outlives a sandbox that was killed.
reap() {
  local dir=$1 pid=$2 start=$3
  while process_alive "$pid" "$start"; do
    pause 0.5
  done
  remove_sandbox_cgroup "$dir"
}

# Creates this sandbox's group and starts its reaper, which ends by itself soon after
# this shell. Sets sandbox_cgroup.
create_sandbox_cgroup() {
  local start_time process_state
  find_cgroup2_root
  sweep_stale_cgroups
  read_process_stat "$$" || die "cannot read the start time of process $$"
  sandbox_cgroup=$cgroup2_root/$SANDBOX_CGROUP_PREFIX.$(own_pid_namespace).$$.$start_time
  mkdir -- "$sandbox_cgroup" "$sandbox_cgroup/init" "$sandbox_cgroup/command" ||
    die "cannot create the control group $sandbox_cgroup"
  # In a new session and not a child of this shell, so that neither a signal to the
  # caller's process group nor the killing of this process tree reaches it.
  (setsid "$BASH" "$self" --reap "$sandbox_cgroup" "$$" "$start_time" </dev/null >/dev/null 2>&1 &)
}

# ---------------------------------------------------------------------------------------
# The sandbox's life, on the host
# ---------------------------------------------------------------------------------------

# Starts the helper that gives systemd a terminal as its console, logged to
# $state_dir/console.log. Sets console_pid and console_terminal.
start_console() {
  local console_binary=$1 fd
  exec {fd}< <(exec "$console_binary" "$state_dir/console.log")
  console_pid=$!
  console_terminal=""
  read -r -u "$fd" console_terminal || true
  exec {fd}<&-
  [[ $console_terminal == /dev/pts/* ]] ||
    die "the console helper $console_binary gave no terminal"
}

# Sets entry to the command that runs a program in all of the sandbox's namespaces and its
# root, in the working directory DIR there. nsenter opens the directory before it enters
# the namespaces, so it is named through PID 1's root: otherwise the program's working
# directory would be the host's.
set_entry() {
  entry=(nsenter --target "$systemd_pid" --all --root --wd="/proc/$systemd_pid/root$1" --)
}

# Runs COMMAND... inside the booted sandbox, for the sandbox's own questions to systemd.
in_systemd() {
  local entry
  set_entry /
  "${entry[@]}" "$@"
}

# Boots systemd in new namespaces and waits until it is up. Sets systemd_unshare_pid and
# systemd_pid (PID 1 of the sandbox, as the host numbers it).
boot_systemd() {
  local hostname=$1 deadline=$((SECONDS + BOOT_TIMEOUT)) children=() command socket state
  local process_state start_time host_mount_ns host_net_ns
  shift
  host_mount_ns=$(readlink /proc/self/ns/mnt)
  host_net_ns=$(readlink /proc/self/ns/net)
  # unshare dies with this shell, and systemd with unshare, even when this shell is
  # killed outright. In a session of its own, systemd gets no signal from the caller's
  # terminal (SIGINT would reboot it). Its own messages go to its console once it has one.
  setsid setpriv --pdeathsig KILL -- unshare --pid --mount --uts --ipc --net --fork --kill-child \
    --propagation private -- "$BASH" "$self" --inside-systemd "$state_dir" "$sandbox_cgroup" \
    "$host_mount_ns" "$host_net_ns" "$console_terminal" "$hostname" -- "$@" </dev/null >&2 &
  systemd_unshare_pid=$!
  systemd_pid=""
  systemd_booted=0
  socket=""
  while ((SECONDS < deadline)); do
    if [[ -z $systemd_pid ]]; then
      # Until the exec of unshare, a child would be one of the shell's own.
      read -r -a children 2>/dev/null \
        <"/proc/$systemd_unshare_pid/task/$systemd_unshare_pid/children" || true
      if ((${#children[@]} > 0)) && is_namespace_init "${children[0]}"; then
        systemd_pid=${children[0]}
      fi
    elif [[ -z $socket ]]; then
      # Before the exec, PID 1 is this script in the host's root, where the socket path
      # would name the host's own systemd.
      read -r command 2>/dev/null <"/proc/$systemd_pid/comm" || command=""
      [[ $command != systemd ]] || socket=/proc/$systemd_pid/root/run/systemd/private
    elif [[ -S $socket ]]; then
      systemd_booted=1
      break
    fi
    if ! read_process_stat "$systemd_unshare_pid" || [[ $process_state == Z ]]; then
      die "systemd did not start in the sandbox$(console_excerpt)"
    fi
    pause 0.01
  done
  [[ -n $socket && -S $socket ]] || die "systemd did not start within $BOOT_TIMEOUT s$(console_excerpt)"
  # The real systemctl, so that the sandbox's own questions are not recorded as calls.
  state=$(in_systemd timeout "$BOOT_TIMEOUT" "$state_dir/real/systemctl" is-system-running \
    --wait) || true
  if [[ $state != running ]]; then
    in_systemd "$state_dir/real/systemctl" --failed --no-pager >&2 || true
    die "systemd in the sandbox is \"$state\" after its boot, not \"running\"$(console_excerpt)"
  fi
}

console_excerpt() {
  [[ -s $state_dir/console.log ]] || return 0
  printf '; the end of its console:\n'
  tail -n 20 -- "$state_dir/console.log" | tr -d '\r'
}

# Runs COMMAND... in the sandbox in the background, with this shell's standard input, the
# caller's environment and the sandbox's variables; its processes go to the command's
# group. Sets command_pid (nsenter, whose one child is the command).
start_command() {
  local dir=$cwd entry
  [[ -d /proc/$systemd_pid/root$dir ]] || dir=/
  set_entry "$dir"
  (
    [[ -z ${pause_fd:-} ]] || exec {pause_fd}<&-
    echo 0 >"$sandbox_cgroup/command/cgroup.procs" ||
      die "cannot move the command into $sandbox_cgroup/command"
    exec env LAUNCHER_SANDBOX="$state_dir" LAUNCHER_SANDBOX_INIT=systemd \
      setpriv --pdeathsig KILL --bounding-set "$DROPPED_CAPABILITIES" -- "${entry[@]}" "$@"
  ) <&0 &
  command_pid=$!
}

# Ends the command's leftovers, powers systemd off (it stops its services as on a real
# machine), kills it if that takes too long or it never came up, and removes the
# sandbox's group.
stop_systemd_sandbox() {
  local deadline=$((SECONDS + POWER_OFF_GRACE))
  if [[ -n ${systemd_unshare_pid:-} ]]; then
    # Processes that the command left running would hold up the power-off.
    echo 1 >"$sandbox_cgroup/command/cgroup.kill" 2>/dev/null || true
    if ((systemd_booted)); then
      kill -s RTMIN+4 "$systemd_pid" 2>/dev/null || true
      while ! cgroup_empty "$sandbox_cgroup/init" && ((SECONDS < deadline)); do
        pause 0.01
      done
      cgroup_empty "$sandbox_cgroup/init" ||
        printf '%s: warning: systemd did not power off within %s s; killed\n' \
          "$PROGRAM" "$POWER_OFF_GRACE" >&2
    fi
    # Whatever is left: a systemd that hangs, or a boot that failed before systemd ran
    # (unshare takes its child along).
    echo 1 >"$sandbox_cgroup/cgroup.kill" 2>/dev/null || true
    kill -s KILL "$systemd_unshare_pid" 2>/dev/null || true
    wait "$systemd_unshare_pid" 2>/dev/null || true
    systemd_unshare_pid=""
  fi
  if [[ -n ${sandbox_cgroup:-} ]] && ! remove_sandbox_cgroup "$sandbox_cgroup"; then
    printf '%s: warning: could not remove %s\n' "$PROGRAM" "$sandbox_cgroup" >&2
  fi
  if [[ -n ${console_pid:-} ]]; then
    kill -s TERM "$console_pid" 2>/dev/null || true
    wait "$console_pid" 2>/dev/null || true
  fi
}

# Directories of the host that the sandbox shows as they are, beside the state directory:
# the checkout that this script belongs to and the directories given with --bind. The
# overlay of the root file system shows neither other mounts nor the host's /tmp.
# Directories below the system trees are left to the overlay, so that nothing written
# there reaches the host.
systemd_binds() {
  local checkout=$1 dir root
  shift
  printf '%s\n' "$state_dir"
  for dir in "$checkout" "$@"; do
    for root in "${HIDDEN_ROOTS[@]}"; do
      if is_below "$dir" "$root"; then
        continue 2
      fi
    done
    printf '%s\n' "$dir"
  done
}

# Runs COMMAND... in a sandbox whose PID 1 is the host's systemd and exits with its
# status; the EXIT trap ends the sandbox. CHECKOUT and the BIND directories are shown as
# they are on the host.
run_with_systemd() {
  local console_binary=$1 checkout=$2 bind_count=$3 binds=() hostname cwd
  shift 3
  binds=("${@:1:bind_count}")
  shift "$bind_count"
  [[ -x $SYSTEMD ]] || die "$SYSTEMD is missing: the systemd flavour runs the host's systemd"
  [[ -x $console_binary ]] || die "the console helper $console_binary is missing"
  command -v nsenter >/dev/null || die "nsenter (util-linux) is not installed"

  cwd=$(pwd -P 2>/dev/null) || cwd=/
  create_sandbox_cgroup
  start_console "$console_binary"
  hostname=$SANDBOX_CGROUP_PREFIX-$$
  mapfile -t binds < <(systemd_binds "$checkout" "${binds[@]}" | LC_ALL=C sort -u)
  boot_systemd "$hostname" "${binds[@]}"
  start_command "$@"
  wait_for_command "$command_pid"
}

# ---------------------------------------------------------------------------------------
# Inside, before systemd: runs as PID 1 of the new PID namespace
# ---------------------------------------------------------------------------------------

# sandbox --inside-systemd STATE CGROUP HOST_MOUNT_NS HOST_NET_NS CONSOLE HOSTNAME -- BIND...
# Moves this process, and so systemd later, into the sandbox's "init" group and makes
# that group the root of a new cgroup namespace.
inside_systemd() {
  local cgroup=$2 host_mount_ns=$3 host_net_ns=$4
  if (($# < 7)) || [[ $7 != -- ]]; then
    die "internal error: bad arguments for the inner step"
  fi
  state=$1
  ((BASHPID == 1)) || die "internal error: the inner step is not PID 1 of a new PID namespace"
  [[ $(readlink /proc/self/ns/mnt) != "$host_mount_ns" ]] ||
    die "internal error: the inner step runs in the host's mount namespace"
  [[ $(readlink /proc/self/ns/net) != "$host_net_ns" ]] ||
    die "internal error: the inner step runs in the host's network namespace"
  # Only PID 1 itself: systemd cannot manage a group that holds processes it cannot see.
  echo 0 >"$cgroup/init/cgroup.procs" || die "cannot move into $cgroup/init"
  exec unshare --cgroup -- "$BASH" "$self" --inside-systemd-root "$@"
}

# sandbox --inside-systemd-root (same arguments): builds the root file system, enters it,
# lays out the sandbox as the other flavours do, and becomes systemd.
inside_systemd_root() {
  local console=$5 hostname=$6 root
  state=$1
  shift 7
  root=$state/root
  build_systemd_root "$root" "$console" "$@"
  enter_root "$root"

  mkdir -p -- "${CREATED_DIRS[@]}" || die "cannot create ${CREATED_DIRS[*]}"
  mount_empty_trees
  copy_real_tools "${PASS_THROUGH[@]}" systemctl
  install_standins
  configure_rpm
  bring_up_loopback
  configure_systemd "$hostname"
  write_pid_namespace

  shopt -s execfail
  set +e
  # shellcheck disable=SC2093
  exec setpriv --bounding-set "$DROPPED_CAPABILITIES" -- \
    env -i container=other "$SYSTEMD" --unit="$SYSTEMD_TARGET"
  die "cannot run $SYSTEMD"
}

run_mount() {
  local output
  output=$(mount "$@" 2>&1) || die "cannot mount (mount $*): $output"
}

# Mounts at ROOT an overlay of the host's root file system whose upper layer is a tmpfs,
# and in it the kernel's file systems, a minimal /dev with CONSOLE as /dev/console, an
# empty /tmp, and the host directories BIND... as they are.
build_systemd_root() {
  local root=$1 console=$2 layers=$state/layers/root dir
  shift 2
  mkdir -p -- "$root" "$layers" || die "cannot create the mount points in $state"
  run_mount -t tmpfs -o mode=0755 tmpfs "$layers"
  mkdir -- "$layers/upper" "$layers/work" || die "cannot create the overlay's layers"
  run_mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"

  run_mount -t proc -o nosuid,nodev,noexec proc "$root/proc"
  # Kernel settings are the host's, apart from those of the network namespace: without
  # this, systemd and systemd-sysctl would change the host's fs.file-max and fs.protected_*.
  read_only_bind "$root/proc/sys" "$root$WRITABLE_PROC_SYS" "$root/proc/sys/net"
  if [[ -e $root/proc/sysrq-trigger ]]; then
    read_only_bind "$root/proc/sysrq-trigger"
  fi
  run_mount -t sysfs -o ro,nosuid,nodev,noexec sysfs "$root/sys"
  # The cgroup namespace's root is the sandbox's own group, so systemd sees a pure
  # cgroup2 hierarchy of its own.
  run_mount -t cgroup2 -o nosuid,nodev,noexec cgroup2 "$root/sys/fs/cgroup"
  run_mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$root/tmp"
  build_dev "$root/dev" "$console"

  for dir in "$@"; do
    mkdir -p -- "$root$dir" || die "cannot create the mount point $root$dir"
    run_mount --bind "$dir" "$root$dir"
  done
}

# Makes PATH read-only, apart from the mount points KEEP... below it, which stay as they
# are (mounted on themselves first, so that the read-only remount leaves them alone).
read_only_bind() {
  local path=$1 keep
  shift
  run_mount --bind "$path" "$path"
  for keep in "$@"; do
    run_mount --bind "$keep" "$keep"
  done
  run_mount -o remount,bind,ro "$path"
}

build_dev() {
  local dev=$1 console=$2 node link
  run_mount -t tmpfs -o mode=0755,nosuid tmpfs "$dev"
  for node in "${DEVICE_NODES[@]}" console; do
    : >"$dev/$node" || die "cannot create the mount point $dev/$node"
  done
  for node in "${DEVICE_NODES[@]}"; do
    run_mount --bind "/dev/$node" "$dev/$node"
  done
  run_mount --bind "$console" "$dev/console"
  mkdir -- "$dev/pts" "$dev/shm" || die "cannot create $dev/pts and $dev/shm"
  run_mount -t devpts -o newinstance,ptmxmode=0666,mode=0620,nosuid,noexec devpts "$dev/pts"
  run_mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$dev/shm"
  for link in ptmx:pts/ptmx fd:/proc/self/fd stdin:/proc/self/fd/0 stdout:/proc/self/fd/1 \
    stderr:/proc/self/fd/2; do
    ln -s -- "${link#*:}" "$dev/${link%%:*}" || die "cannot create $dev/${link%%:*}"
  done
}

# Makes ROOT the root directory of this mount namespace; the host's root is then no longer
# reachable from it.
enter_root() {
  local root=$1
  cd -- "$root" || die "cannot enter $root"
  # With both arguments ".", the old root ends up mounted on top of the new one, from
  # where it is detached at once.
  pivot_root . . || die "cannot make $root the root directory"
  umount -l . || die "cannot detach the host's root directory"
  cd /
}

# Masks what must not run here, defines the target that the sandbox boots into, and
# names the machine.
configure_systemd() {
  local hostname=$1 units=/etc/systemd/system link names=()
  names=("${MASKED_UNITS[@]}")
  for link in "$units"/*.wants/*; do
    if [[ -e $link || -L $link ]]; then
      names+=("${link##*/}")
    fi
  done
  mkdir -p -- "$units" || die "cannot create $units"
  for link in "${names[@]}"; do
    ln -sfn /dev/null "$units/$link" || die "cannot mask $link"
  done
  printf '%s\n' "[Unit]" "Description=Launcher sandbox" "Requires=basic.target" \
    "After=basic.target" "AllowIsolate=yes" >"$units/$SYSTEMD_TARGET" ||
    die "cannot write $units/$SYSTEMD_TARGET"
  # As Debian's installer names the machine, so that tools such as rpmbuild resolve it.
  { printf '%s\n' "$hostname" >/etc/hostname &&
    printf '127.0.1.1\t%s\n' "$hostname" >>/etc/hosts; } || die "cannot name the machine $hostname"
  hostname "$hostname" || die "cannot set the host name"
}
