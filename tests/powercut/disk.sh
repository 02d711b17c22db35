# shellcheck shell=bash
# The disk of the power-cut tests: the product trees (/opt/brevantis, /var/opt/brevantis,
# /etc/opt/brevantis) on one file-system image attached through a loop device, mounted so
# that nothing reaches the image unless it is flushed or the kernel's writeback finds it
# older than vm.dirty_expire_centisecs (30 s by default; every cut run stays far below).
# A cut copies the image at the moment the process under test reaches its cut point: the
# copy is the disk after the power returns, and mounting it replays its journal.
#
# Sourced after tests/e2e/lib.sh (and require_sandbox). Loop devices are global to the
# machine: each one is attached by `mount -o loop`, which sets autoclear, so that the
# device goes when its last mount goes, also when the sandbox's mount namespace dies with
# a killed test; the EXIT handler unmounts and detaches what is left.

DISK_FS=""
DISK_DIR=""
DISK_MOUNT=""
readonly DISK_TREES=(/opt/brevantis /var/opt/brevantis /etc/opt/brevantis)
# Directories of the system that a scenario keeps on the image as well (disk_hold), so that
# what is written there must survive the cut on its own: bound over the system's before the
# product trees.
DISK_HELD=()
# Debian's defaults, plus a journal commit interval far beyond one run (ext4, btrfs).
declare -A DISK_OPTIONS=([ext4]=commit=600 [xfs]=defaults [btrfs]=commit=300)
# Sizes: xfs refuses file systems below 300 MiB; a sanitized build lays patches of 150 MiB
# each, and the chain lays two beside the unpacked build. The images are sparse.
declare -A DISK_SIZE=([ext4]=1G [xfs]=1G [btrfs]=1G)

# Skips the test (exit 77) when this machine cannot cut the power under FS.
disk_require() {
  local fs=$1 mkfs
  [[ -n ${DISK_OPTIONS[$fs]:-} ]] || fail "no such file system for the power-cut test: $fs"
  [[ -e /dev/loop-control ]] || skip "no loop devices here (/dev/loop-control is missing)"
  grep -qw -- "$fs" /proc/filesystems || skip "the kernel does not support $fs"
  mkfs=$(command -v "mkfs.$fs") || skip "mkfs.$fs is not installed (tools/install-deps)"
  command -v losetup >/dev/null || skip "losetup is not installed"
  command -v strace >/dev/null || skip "strace is not installed"
  strace -qq -o /dev/null -e trace=none true 2>/dev/null || skip "strace cannot trace here"
  DISK_FS=$fs
  DISK_DIR=$E2E_SCRATCH/disk
  DISK_MOUNT=$DISK_DIR/mnt
  mkdir -p -- "$DISK_DIR"
  at_exit disk_cleanup
  # The images live in memory, in this sandbox's mount namespace only: the loop device's
  # flushes then cost no disk writes of the host's, and nothing is left when it ends.
  mount -t tmpfs -o mode=0700,size=4G tmpfs "$DISK_DIR" || skip "no tmpfs for the images"
  mkdir -p -- "$DISK_MOUNT"
  truncate -s "${DISK_SIZE[$fs]}" -- "$DISK_DIR/base.img"
  case $fs in
    # Inode tables and the journal laid at once: no lazy-init thread writes behind the test.
    ext4) "$mkfs" -q -F -E lazy_itable_init=0,lazy_journal_init=0 -- "$DISK_DIR/base.img" ;;
    xfs) "$mkfs" -q -f -- "$DISK_DIR/base.img" ;;
    btrfs) "$mkfs" -q -f -- "$DISK_DIR/base.img" >/dev/null ;;
  esac || skip "mkfs.$fs cannot make a file system here"
  if ! disk_mount "$DISK_DIR/base.img" 2>"$DISK_DIR/mount.err"; then
    skip "an image of $fs cannot be loop-mounted here: $(<"$DISK_DIR/mount.err")"
  fi
  disk_umount
}

# Mounts IMAGE and binds its trees over the product's.
disk_mount() {
  local image=$1 tree
  mount -t "$DISK_FS" -o "loop,${DISK_OPTIONS[$DISK_FS]}" -- "$image" "$DISK_MOUNT" || return 1
  for tree in "${DISK_HELD[@]}" "${DISK_TREES[@]}"; do
    mkdir -p -- "$DISK_MOUNT/${tree#/}" "$tree"
    mount --bind -- "$DISK_MOUNT/${tree#/}" "$tree" || return 1
  done
}

# Puts copies of the system's directories DIR... on the mounted image and binds them over
# the originals, now and at every later mount. A product tree below DIR is the image's
# already (/etc/opt/brevantis below /etc).
disk_hold() {
  local dir tree excluded
  for dir in "$@"; do
    excluded=()
    for tree in "${DISK_TREES[@]}"; do
      [[ $tree != "$dir"/* ]] || excluded+=("--exclude=./${tree#"$dir"/}")
    done
    mkdir -p -- "$DISK_MOUNT/${dir#/}"
    tar -C "$dir" "${excluded[@]}" -cf - . | tar -C "$DISK_MOUNT/${dir#/}" -xpf -
    mount --bind -- "$DISK_MOUNT/${dir#/}" "$dir"
    DISK_HELD+=("$dir")
  done
}

# Unmounts the trees and the image in one umount (each program run costs); autoclear then
# detaches its loop device.
disk_umount() {
  local _ device mountpoint rest image="" entries=() entry targets=()
  while read -r _ _ device _ mountpoint rest; do
    entries+=("$device $mountpoint")
    [[ $mountpoint != "$DISK_MOUNT" ]] || image=$device
  done </proc/self/mountinfo
  [[ -n $image ]] || return 0
  # The last mounted first: a bind may cover an earlier one (/etc over /etc/opt/brevantis).
  for entry in "${entries[@]}"; do
    [[ ${entry%% *} != "$image" || ${entry#* } == "$DISK_MOUNT" ]] || targets=("${entry#* }" "${targets[@]}")
  done
  umount -- "${targets[@]}" "$DISK_MOUNT"
}

# shellcheck disable=SC2317 # Invoked through at_exit.
disk_cleanup() {
  local image device
  disk_kill_all KILL
  disk_kill_all CONT
  disk_umount 2>/dev/null || umount -l -- "$DISK_MOUNT" 2>/dev/null || true
  for image in "$DISK_DIR"/*.img; do
    [[ -e $image ]] || continue
    for device in $(losetup -n -O NAME -j "$image" 2>/dev/null); do
      losetup -d "$device" 2>/dev/null || true
    done
  done
  rm -f -- "$DISK_DIR"/*.img
  umount -- "$DISK_DIR" 2>/dev/null || true
}

# Makes the image mounted now (a copy of the base) the base of every cut: unmounted
# cleanly, so that all of it is on the image.
disk_save_base() {
  disk_end_processes
  rm -f /var/run/wdserver.pid /var/run/wdserver.sock
  disk_umount
  mv -- "$DISK_DIR/run.img" "$DISK_DIR/base.img"
}

# Mounts a fresh copy of the base image.
disk_mount_base() {
  cp --sparse=always -- "$DISK_DIR/base.img" "$DISK_DIR/run.img"
  disk_mount "$DISK_DIR/run.img"
}

# Sends SIGNAL to every process of the sandbox but its PID 1 and this shell: the program
# under test, its children, the product's servers, strace. Builtins only, so that no
# process of this shell's own comes and goes while the world stops.
disk_kill_all() {
  local signal=$1 stat pid
  for stat in /proc/[0-9]*/stat; do
    pid=${stat#/proc/}
    pid=${pid%/stat}
    ((pid != 1 && pid != $$ && pid != BASHPID)) || continue
    kill -s "$signal" "$pid" 2>/dev/null || true  # it may have ended meanwhile
  done
}

# Kills every process but PID 1 and this shell and waits until they have let go of their
# files (a zombie holds none), so that the disk can be unmounted. Each pass kills again
# whatever still lives: a process forked after a pass listed /proc escaped that pass.
disk_end_processes() {
  local stat pid left deadline=$((SECONDS + 120))
  disk_kill_all KILL
  disk_kill_all CONT
  while :; do
    left=0
    for stat in /proc/[0-9]*/stat; do
      pid=${stat#/proc/}
      pid=${pid%/stat}
      ((pid != 1 && pid != $$ && pid != BASHPID)) || continue
      { read -r stat <"$stat"; } 2>/dev/null || continue
      [[ $stat == *") Z "* ]] && continue
      left=$((left + 1))
      kill -s KILL "$pid" 2>/dev/null || true # it may have ended meanwhile
    done
    ((left == 0)) && return 0
    ((SECONDS < deadline)) || break
    sleep 0.01
  done
  fail "$left processes outlived SIGKILL for 120 s"
}

# The power cut: runs COMMAND... under strace, which stops (SIGSTOP) the process that makes
# its N-th call NAME right after that call (strace counts per process; with FOLLOW=-f the
# children are traced too, with FOLLOW=- only COMMAND). CUT_REACHED is 1 when the point was
# reached, else 0 (the command ended first; the cut then comes after its end).
disk_cut() {
  local follow=$1 name=$2 n=$3 trace=$DISK_DIR/cut.strace strace_pid options=(-qq)
  shift 3
  [[ $follow == - ]] || options+=("$follow")
  : >"$trace"
  # The shell reports a job ended by a signal on its own standard error.
  exec 3>&2 2>/dev/null
  ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace "${options[@]}" -o "$trace" \
    -e trace="$name" -e inject="$name:signal=STOP:when=$n" "$@" >/dev/null 2>&1 &
  strace_pid=$!
  # shellcheck disable=SC2034 # Read by the test after each cut.
  CUT_REACHED=0
  # strace writes the stop's line once the process stopped; the wait is bounded by the run
  # itself, which ends on its own when the point is never reached.
  while :; do
    if grep -q -- '--- stopped by SIGSTOP ---' "$trace"; then
      # shellcheck disable=SC2034
      CUT_REACHED=1
      break
    fi
    [[ -d /proc/$strace_pid && $(</proc/$strace_pid/stat) != *") Z "* ]] || break
    sleep 0.005
  done
  disk_power_off
  wait "$strace_pid" || true
  exec 2>&3 3>&-
  disk_power_on
}

# The power fails: every process stops where it is, and the image as it is now is the disk
# (copied to cut.img). Then they are killed and the image is unmounted.
disk_power_off() {
  disk_kill_all STOP
  cp --sparse=always -- "$DISK_DIR/run.img" "$DISK_DIR/cut.img"
  disk_end_processes
}

# The reboot: /var/run starts empty, and the disk is the copy, whose journal replays as it
# is mounted.
disk_power_on() {
  disk_umount
  rm -f -- "$DISK_DIR/run.img" /var/run/wdserver.pid /var/run/wdserver.sock
  disk_mount "$DISK_DIR/cut.img"
}

# Ends the run on the mounted copy: its processes killed, the copy unmounted and removed.
disk_end_run() {
  disk_end_processes
  rm -f /var/run/wdserver.pid /var/run/wdserver.sock
  disk_umount
  rm -f -- "$DISK_DIR/cut.img"
}

# Shows that the cut loses what was not flushed and keeps what was, through the same path
# as every cut: a program writes one file and flushes it and its directory, writes another
# without a flush and renames it, and the power is cut right after that rename. The first
# must come back whole, the second under neither name.
disk_prove() {
  local dir=/var/opt/brevantis/proof
  disk_mount_base
  mkdir -p -- "$dir"
  sync -- "$dir" /var/opt/brevantis
  head -c 65536 /dev/urandom >"$DISK_DIR/expected"
  # A flush of this file and its directory alone: nothing in the cut path syncs anything else.
  # shellcheck disable=SC2016 # The script expands its own arguments.
  disk_cut -f rename,renameat,renameat2 1 sh -c 'cp -- "$1" "$2/kept" && sync -- "$2/kept" "$2" &&
    cp -- "$1" "$2/lost" && mv -- "$2/lost" "$2/renamed" && echo not stopped' - "$DISK_DIR/expected" "$dir"
  ((CUT_REACHED)) || fail "the power-cut harness could not stop a program at its cut point"
  cmp -s -- "$DISK_DIR/expected" "$dir/kept" ||
    fail "the power-cut harness lost a flushed file on $DISK_FS: it cannot prove durability here"
  [[ ! -e $dir/lost && ! -e $dir/renamed ]] ||
    fail "a file written without a flush survived the cut on $DISK_FS: the harness would hide lost writes"
  disk_end_run
}
