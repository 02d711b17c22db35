#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# A staged rollout with the project's Ansible playbook, against three hosts made inside the
# sandbox: each its own sandbox (private mount, PID and network namespaces, its own dpkg
# database and product trees; host1 and host3 under SysV init, host2 under the real
# systemd) running sshd, with a veth pair to a bridge in this namespace, on 192.0.2.0/24 (a
# documentation range; the network exists only between these namespaces). This namespace
# is the controller: it runs ansible-playbook and serves the published repositories over
# HTTP.
#   1. A preview (--check) of the first version tells that every host would install it,
#      and changes nothing.
#   2. The first version is rolled out in a canary batch of one host, then the rest: each
#      runs it, held: apt-get upgrade leaves it although the second version is published.
#   3. A preview of the second version tells that every host would upgrade; nothing changes.
#   4. The second version is rolled out one host at a time after its watchdog server was
#      made to fail on host2 only: host1 upgrades, host2 rolls back to the first version
#      (its launcher warns in apt-get's output and in its trace; systemd's unit stays
#      active; dpkg names the second version) and fails its health check, and the rollout
#      stops: host3 is never touched.
#   5. The fault is removed from host2 and the second version rolled out again: host2
#      retries its upgrade, and all three run it.
#   6. The fleet is rolled back: the first version again, with the downgrade allowed.
#   7. The product is removed everywhere (its data stays; the health report says absent),
#      then purged with the repository entry and key.
# The time of each phase, of each host's change and of each rollout is printed.
source "$(dirname "${BASH_SOURCE[0]}")/fleet.sh"
require_sandbox
require_repository

readonly V1=12.7.0.1 V2=12.7.0.2
readonly HOSTS=(host1 host2 host3)
readonly FAULTY_HOST=host2
# The init system of each host: a fleet's hosts run systemd, and the faulty host shows the
# rollback through systemd's unit.
declare -A INIT=([host1]=sysv [host2]=systemd [host3]=sysv)

source "$(dirname "${BASH_SOURCE[0]}")/hosts.sh"

# ---------------------------------------------------------------------------------------
# The test
# ---------------------------------------------------------------------------------------

remove_apt_sources
make_ssh_files
make_bridge
serve_directory "$FLEET_REPOSITORY" "$CONTROLLER"
for host in "${HOSTS[@]}"; do
  start_host "$host"
done
configure_ansible
phase_done "hosts up"

# 1. The preview before the first install: every host would install, none changes.
before=$(host_fingerprints)
rollout --check "tarn_version=$V1" tarn_batch=${#HOSTS[@]}
expect_rollout_status 0 "the preview of $V1"
for host in "${HOSTS[@]}"; do
  expect_contains "tarn on $host would install $V1" "$ROLLOUT_LOG"
done
expect_eq "$before" "$(host_fingerprints)" "the hosts after the preview of $V1"
phase_done "preview of the first install"

# 2. The first version everywhere: a canary, then the rest at once.
rollout "tarn_version=$V1" '{"tarn_batch": [1, "100%"]}'
expect_rollout_status 0 "the rollout of $V1"
echo "Rollout of $V1 to ${#HOSTS[@]} hosts, batches of 1 and the rest: $SECONDS_TAKEN s"
host_times
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  expect_health "$host after the rollout of $V1" product=running status=0 "version=$V1" \
    "package=$V1" "held=$V1" state=Installed failed_version=none
done
# The hold: a routine upgrade leaves the version that the rollout installed, although a
# newer one is published.
on_host host1 "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q -y upgrade" \
  >"$E2E_SCRATCH/apt-upgrade.log" 2>&1 || fail "apt-get upgrade on host1: $(cat -- "$E2E_SCRATCH/apt-upgrade.log")"
candidate=$(on_host host1 apt-cache policy tarn | sed -n 's/^ *Candidate: //p')
[[ $candidate =~ ^[0-9.]+$ && $candidate != "$V1" ]] ||
  fail "apt's candidate on host1 is \"$candidate\", not a newer published version"
expect_eq "$V1" "$(on_host host1 "dpkg-query -W -f '\${Version}' tarn")" "host1's package after apt-get upgrade"
phase_done "first install"

# 3. The preview before the upgrade: every host would upgrade, none changes.
before=$(host_fingerprints)
rollout --check "tarn_version=$V2" tarn_batch=${#HOSTS[@]}
expect_rollout_status 0 "the preview of $V2"
for host in "${HOSTS[@]}"; do
  expect_contains "tarn on $host would upgrade $V1 to $V2" "$ROLLOUT_LOG"
done
expect_eq "$before" "$(host_fingerprints)" "the hosts after the preview of $V2"
phase_done "preview of the upgrade"

# 4. The second version, whose watchdog server fails on host2 only: the marker that the
#    watchdog server honours lies in that host's tree of the version, which the package
#    fills and the install copies into the version's patch.
printf 'the watchdog server of %s fails on %s\n' "$V2" "$FAULTY_HOST" |
  on_host "$FAULTY_HOST" "mkdir -p /var/opt/brevantis/tarn/install_$V2/opt/brevantis/tarn/libexec &&
    cat >/var/opt/brevantis/tarn/install_$V2/opt/brevantis/tarn/libexec/wdserver.fail"
declare -A MARKS=()
for host in "${HOSTS[@]}"; do
  MARKS[$host]=$(on_host "$host" sh -s -- --mark <"$FLEET_HEALTH")
done
rollout "tarn_version=$V2"
echo "Rollout of $V2, one host a batch, stopped after $FAULTY_HOST: $SECONDS_TAKEN s"
host_times
expect_rollout_status 2 "the rollout of $V2"
expect_contains "tarn $V2 runs on host1" "$ROLLOUT_LOG"
expect_contains "tarn $V2 is not healthy on $FAULTY_HOST" "$ROLLOUT_LOG"
sed -n '/^PLAY RECAP/,$p' -- "$ROLLOUT_LOG" >"$E2E_SCRATCH/recap"
expect_not_contains host3 "$E2E_SCRATCH/recap"

read_host_health host1 "${MARKS[host1]}"
expect_health "host1 after the rollout of $V2" status=0 "version=$V2" state=Installed failed_version=none \
  rollback_warning=none
# After the rollback dpkg names the version that failed, while the first one runs: the
# health report tells which runs, and systemd's unit is active with it.
read_host_health "$FAULTY_HOST" "${MARKS[$FAULTY_HOST]}"
expect_health "$FAULTY_HOST after the rollout of $V2" status=0 "version=$V1" "package=$V2" \
  state=RolledBack "failed_version=$V2" \
  "rollback_warning=The upgrade to version $V2 failed to start and was rolled back; version $V1 runs."
[[ ${HEALTH[failed_at]} =~ ^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z$ ]] ||
  fail "$FAULTY_HOST's failed_at is \"${HEALTH[failed_at]}\""
expect_eq active "$(on_host "$FAULTY_HOST" systemctl is-active tarn.service || true)" \
  "systemd's state of tarn.service on $FAULTY_HOST"
# The health check's failure names the rollback, and the package tool's output carried the
# launcher's warning.
expect_contains "rollback warning: The upgrade to version $V2 failed to start" "$ROLLOUT_LOG"
expect_contains "package tool warned of a rollback: yes" "$ROLLOUT_LOG"
# host3: the launcher never ran, and the package is the first version's.
expect_eq "${MARKS[host3]}" "$(on_host host3 sh -s -- --mark <"$FLEET_HEALTH")" "host3's trace"
expect_eq "$V1" "$(on_host host3 "dpkg-query -W -f '\${Version}' tarn")" "host3's package"
read_host_health host3
expect_health "host3 after the rollout of $V2" status=0 "version=$V1" state=Installed failed_version=none

printf '\n%-6s %-8s %-11s %-9s %-9s %-11s %-9s %s\n' host init address version package state failed "launcher --status"
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  printf '%-6s %-8s %-11s %-9s %-9s %-11s %-9s %s\n' "$host" "${INIT[$host]}" "$(address_of "$host")" \
    "${HEALTH[version]}" "${HEALTH[package]}" "${HEALTH[state]}" "${HEALTH[failed_version]}" "${HEALTH[status]}"
done
echo
phase_done "upgrade stopped by a rollback"

# 5. Once host2's fault is gone, the same rollout again: host1 runs the version already,
#    host2's package is installed again and its upgrade retried, host3 upgrades.
on_host "$FAULTY_HOST" rm "/var/opt/brevantis/tarn/install_$V2/opt/brevantis/tarn/libexec/wdserver.fail"
rollout "tarn_version=$V2" '{"tarn_batch": [1, "100%"]}'
expect_rollout_status 0 "the rollout of $V2 again"
echo "Rollout of $V2 again, after the fault on $FAULTY_HOST was removed: $SECONDS_TAKEN s"
host_times
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  expect_health "$host after the rollout of $V2 again" status=0 "version=$V2" "held=$V2" \
    state=Installed failed_version=none
done
phase_done "upgrade retried"

# 6. The fleet rolled back: the first version again, an older one, which needs the
#    downgrade allowed.
rollout "tarn_version=$V1" '{"tarn_batch": [1, "100%"]}' tarn_allow_downgrade=true
expect_rollout_status 0 "the fleet's rollback to $V1"
echo "Rollback of the fleet to $V1: $SECONDS_TAKEN s"
host_times
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  expect_health "$host after the fleet's rollback to $V1" status=0 "version=$V1" "package=$V1" \
    "held=$V1" state=Installed failed_version=none
done
phase_done "fleet rolled back"

# 7. Removal keeps the product's data, purging does not, and takes the repository entry
#    and key when asked: all hosts in one batch.
rollout tarn_state=absent tarn_batch=${#HOSTS[@]}
expect_rollout_status 0 "the removal"
echo "Removal on ${#HOSTS[@]} hosts at once: $SECONDS_TAKEN s"
for host in "${HOSTS[@]}"; do
  expect_contains "tarn is absent on $host" "$ROLLOUT_LOG"
  on_host "$host" test ! -e /etc/init.d/tarn || fail "the removal left the init script on $host"
  on_host "$host" test -f /var/opt/brevantis/tarn/common/tarn.ini ||
    fail "the removal took the product's configuration on $host"
  read_host_health "$host"
  expect_health "$host after the removal" product=absent package=none held=none
done
rollout tarn_state=purged tarn_batch=${#HOSTS[@]} tarn_remove_repository=true
expect_rollout_status 0 "the purge"
echo "Purge on ${#HOSTS[@]} hosts at once: $SECONDS_TAKEN s"
for host in "${HOSTS[@]}"; do
  on_host "$host" test ! -e /var/opt/brevantis/tarn || fail "the purge left /var/opt/brevantis/tarn on $host"
  on_host "$host" test ! -e /etc/apt/sources.list.d/tarn.list -a ! -e /usr/share/keyrings/tarn-archive-keyring.asc ||
    fail "the purge left the repository entry or its key on $host"
done
phase_done "removal and purge"
