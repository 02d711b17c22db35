#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The inner half of the systemd flavour's test (sandbox_test.sh): the real systemd is PID 1
# and has booted, the kernel's settings cannot be changed from here (but for the network
# namespace's own), the launcher's tools are recorded and run for real, units start in
# the sandbox's own cgroup tree, and what is written here stays here.
#   sandbox_systemd_inside_test.sh MARKER
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

(($# == 1)) || fail "usage: $0 MARKER"
marker=$1

expect_eq /usr/lib/systemd/systemd "$(readlink /proc/1/exe)" "/proc/1/exe"
expect_eq running "$(systemctl is-system-running)" "systemctl is-system-running"
expect_eq systemd "$LAUNCHER_SANDBOX_INIT" LAUNCHER_SANDBOX_INIT
# Named after the sandbox, and the name resolves.
[[ $(hostname) == launcher-sandbox-+([0-9]) ]] || fail "host name $(hostname)"
getent hosts "$(hostname)" >/dev/null || fail "the host name $(hostname) does not resolve"
# The product trees start empty on tmpfs, whatever the host has there; systemd fills /run.
for tree in "${E2E_PRODUCT_TREES[@]}"; do
  expect_eq tmpfs "$(stat -f -c %T -- "$tree")" "file system on $tree"
  [[ $tree == /run ]] || expect_eq "" "$(ls -A -- "$tree")" "content of $tree"
done

# Kernel settings: read-only, but for the network namespace's. Each is written its own
# value, so that a fault here would still leave the host as it was.
rewrite_setting() {
  local value
  value=$(<"/proc/sys/$1")
  printf '%s\n' "$value" >"/proc/sys/$1"
}
for setting in fs/protected_regular fs/file-max; do
  not rewrite_setting "$setting" 2>/dev/null
done
rewrite_setting net/ipv4/ip_forward
# Neither systemd nor this command may load modules (16), do raw I/O (17) or set the
# clock (25).
for status in /proc/1/status /proc/self/status; do
  capabilities=$(awk '/^CapBnd/ { print $2 }' "$status")
  for bit in 16 17 25; do
    (((0x$capabilities >> bit & 1) == 0)) || fail "capability $bit is in the bounding set of $status"
  done
done

# systemctl is recorded, then answers for real.
clear_calls
expect_eq active "$(systemctl is-active basic.target)" "basic.target"
expect_eq "systemctl is-active basic.target" "$(calls)" "recorded calls"

# A forking service runs in the sandbox's own cgroup tree, with its pid file's process as
# its main process.
cat >"/etc/systemd/system/$marker.service" <<UNIT
[Service]
Type=forking
PIDFile=/run/$marker.pid
ExecStart=/bin/sh -c 'sleep 600 </dev/null >/dev/null 2>&1 & echo \$! >/run/$marker.pid'
UNIT
systemctl daemon-reload
systemctl start "$marker"
main=$(systemctl show -p MainPID --value "$marker")
expect_eq "$(<"/run/$marker.pid")" "$main" "the service's main pid"
expect_eq "0::/system.slice/$marker.service" "$(grep '^0::' "/proc/$main/cgroup")" "its cgroup"
echo "$marker" >"/usr/lib/systemd/system/$marker-lib.service"
echo "$marker" >/etc/"$marker"

# A stray process that ignores SIGTERM dies with the sandbox all the same.
bash -c "trap '' TERM; exec -a leftover-$marker sleep 600" </dev/null >/dev/null 2>&1 &
