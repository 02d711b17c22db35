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
expect_eq launcher-sandbox "$(hostname)" "host name"
for tree in "${E2E_PRODUCT_TREES[@]}"; do
  [[ ! -e $tree/brevantis && ! -e $tree/tarn ]] || fail "$tree is not empty of the product"
done

# Kernel settings: read-only, but for the network namespace's.
not sh -c 'echo 0 >/proc/sys/fs/protected_regular' 2>/dev/null
not sh -c 'echo 999999 >/proc/sys/fs/file-max' 2>/dev/null
echo 1 >/proc/sys/net/ipv4/ip_forward

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
