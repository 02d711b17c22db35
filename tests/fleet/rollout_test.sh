#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# A staged rollout with the project's Ansible playbook, against three hosts made inside the
# sandbox: each its own sandbox (private mount, PID and network namespaces, SysV init, its
# own dpkg database and product trees) running sshd, with a veth pair to a bridge in this
# namespace, on 192.0.2.0/24 (a documentation range; the network exists only between these
# namespaces). This namespace is the controller: it runs ansible-playbook and serves the
# published repositories over HTTP.
#   1. The first version is rolled out to all three hosts, one batch at a time: each runs it.
#   2. The second version is rolled out after its watchdog server was made to fail on host2
#      only: host1 upgrades, host2 rolls back to the first version (its launcher warns in
#      apt-get's output and in its trace) and fails its health check, and the rollout stops:
#      host3 is never touched.
#   3. Each host's active version and state are shown.
#   4. The fault is removed from host2 and the second version rolled out again: host2
#      retries its upgrade, and all three run it.
#   5. The product is removed everywhere (its data stays), then purged.
# The time of each host's upgrade and of each rollout is printed.
source "$(dirname "${BASH_SOURCE[0]}")/fleet.sh"
require_sandbox
require_repository

readonly V1=12.7.0.1 V2=12.7.0.2
readonly HOSTS=(host1 host2 host3)
readonly FAULTY_HOST=host2
readonly NET=192.0.2
readonly CONTROLLER=$NET.1
readonly BRIDGE=fleet0
readonly SSH_DIR=$E2E_SCRATCH/ssh
readonly PLAYBOOK=$LAUNCHER_SOURCE_DIR/deploy/ansible/rollout.yml
readonly SANDBOX_SCRIPT=$LAUNCHER_SOURCE_DIR/tools/sandbox/sandbox

for tool in ansible-playbook /usr/sbin/sshd ssh ssh-keygen nsenter /usr/bin/python3; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (tools/install-deps)"
done
[[ -x ${SANDBOX_INIT_BINARY:-} ]] || fail "SANDBOX_INIT_BINARY does not name the built sandbox_init"

address_of() {
  printf '%s.%s\n' "$NET" "$((10 + ${1#host}))"
}

# ---------------------------------------------------------------------------------------
# The hosts
# ---------------------------------------------------------------------------------------

# The controller's key, one host key per host, the hosts' known keys and sshd's settings.
make_ssh_files() {
  local host
  mkdir -p -- "$SSH_DIR"
  chmod 0700 -- "$SSH_DIR"
  ssh-keygen -q -t ed25519 -N '' -C controller -f "$SSH_DIR/controller"
  cp -- "$SSH_DIR/controller.pub" "$SSH_DIR/authorized_keys"
  for host in "${HOSTS[@]}"; do
    ssh-keygen -q -t ed25519 -N '' -C "$host" -f "$SSH_DIR/$host.key"
    printf '%s %s\n' "$(address_of "$host")" "$(cut -d ' ' -f 1,2 <"$SSH_DIR/$host.key.pub")"
  done >"$SSH_DIR/known_hosts"
  # The scratch directory lies below /tmp, which StrictModes would refuse.
  cat >"$SSH_DIR/sshd_config" <<EOF
ListenAddress 0.0.0.0:22
PermitRootLogin prohibit-password
AuthorizedKeysFile $SSH_DIR/authorized_keys
StrictModes no
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
PidFile none
Subsystem sftp internal-sftp
LogLevel ERROR
EOF
  cat >"$SSH_DIR/config" <<EOF
User root
IdentityFile $SSH_DIR/controller
IdentitiesOnly yes
UserKnownHostsFile $SSH_DIR/known_hosts
StrictHostKeyChecking yes
BatchMode yes
EOF
}

make_bridge() {
  ip link add name "$BRIDGE" type bridge
  ip address add "$CONTROLLER/24" dev "$BRIDGE"
  ip link set dev "$BRIDGE" up
}

# The pid (here) of PID 1 of the sandbox whose state directory is STATE.
host_init_pid() {
  local state=$1 pidns process
  pidns=$(<"$state/pidns")
  for process in /proc/[0-9]*; do
    [[ $(readlink "$process/ns/pid" 2>/dev/null) == "$pidns" ]] || continue
    # NSpid lists the pid in each namespace, the host's own last.
    if [[ $(awk '/^NSpid:/ { print $NF }' "$process/status" 2>/dev/null) == 1 ]]; then
      printf '%s\n' "${process#/proc/}"
      return 0
    fi
  done
  return 1
}

has_init_pid() {
  host_init_pid "$1" >/dev/null
}

declare -A HOST_JOBS=()
start_host() {
  local host=$1 state=$LAUNCHER_SANDBOX/hosts/$1 address init_pid
  address=$(address_of "$host")
  mkdir -p -- "${state%/*}"
  "$SANDBOX_SCRIPT" --init-binary "$SANDBOX_INIT_BINARY" --init sysv --state "$state" -- \
    "$(dirname "${BASH_SOURCE[0]}")/fleet-host" "$SSH_DIR/sshd_config" "$SSH_DIR/$host.key" \
    </dev/null >"$E2E_SCRATCH/$host.log" 2>&1 &
  HOST_JOBS[$host]=$!
  at_exit stop_host "$host"
  wait_until "the sandbox of $host" test -s "$state/pidns"
  wait_until "PID 1 of $host" has_init_pid "$state"
  init_pid=$(host_init_pid "$state")
  ip link add name "veth-$host" type veth peer name eth0 netns "$init_pid"
  ip link set dev "veth-$host" master "$BRIDGE" up
  nsenter --target "$init_pid" --net ip address add "$address/24" dev eth0
  nsenter --target "$init_pid" --net ip link set dev eth0 up
  wait_until "sshd on $host" bash -c ": </dev/tcp/$address/22" 2>/dev/null
}

# shellcheck disable=SC2317 # Invoked through at_exit.
stop_host() {
  local job=${HOST_JOBS[$1]:-}
  [[ -n $job ]] || return 0
  kill -TERM "$job" 2>/dev/null || true
  wait "$job" || printf '%s: %s ended with status %s:\n%s\n' "$E2E_CASE" "$1" "$?" \
    "$(cat -- "$E2E_SCRATCH/$1.log")" >&2
}

# Runs COMMAND on HOST through ssh; stdin is passed on.
on_host() {
  local host=$1
  shift
  ssh -F "$SSH_DIR/config" "$(address_of "$host")" "$@"
}

# Sets HEALTH from the role's health report on HOST (the trace since MARK).
read_host_health() {
  local host=$1 mark=${2:-$WHOLE_TRACE} line
  HEALTH=()
  while IFS= read -r line; do
    HEALTH[${line%%=*}]=${line#*=}
  done < <(on_host "$host" sh -s -- --since "$mark" <"$FLEET_HEALTH")
}

# ---------------------------------------------------------------------------------------
# Ansible
# ---------------------------------------------------------------------------------------

configure_ansible() {
  local host
  {
    echo '[tarn]'
    for host in "${HOSTS[@]}"; do
      printf '%s ansible_host=%s\n' "$host" "$(address_of "$host")"
    done
    printf '[tarn:vars]\nansible_user=root\nansible_ssh_private_key_file=%s\n' "$SSH_DIR/controller"
  } >"$E2E_SCRATCH/inventory"
  cat >"$E2E_SCRATCH/ansible.cfg" <<EOF
[defaults]
inventory = $E2E_SCRATCH/inventory
interpreter_python = /usr/bin/python3
host_key_checking = True
retry_files_enabled = False
nocolor = True
local_tmp = $E2E_SCRATCH/ansible-tmp

[ssh_connection]
pipelining = True
control_path_dir = $E2E_SCRATCH/cp
ssh_args = -o ControlMaster=auto -o ControlPersist=60s -o UserKnownHostsFile=$SSH_DIR/known_hosts -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes
EOF
  export ANSIBLE_CONFIG=$E2E_SCRATCH/ansible.cfg
}

# Runs the rollout playbook with the extra variables ARG... (key=value); its output goes to
# $ROLLOUT_LOG, its exit status to STATUS, its duration in seconds to SECONDS_TAKEN.
ROLLOUTS=0
rollout() {
  local variables=() pair started
  for pair in "tarn_repository_url=http://$CONTROLLER:$FLEET_PORT" \
    "tarn_repository_key=$FLEET_REPOSITORY/tarn-archive-keyring.asc" "$@"; do
    variables+=(--extra-vars "$pair")
  done
  ROLLOUTS=$((ROLLOUTS + 1))
  ROLLOUT_LOG=$E2E_SCRATCH/rollout$ROLLOUTS.log
  STATUS=0
  started=$(date +%s.%N)
  ansible-playbook "${variables[@]}" "$PLAYBOOK" >"$ROLLOUT_LOG" 2>&1 || STATUS=$?
  SECONDS_TAKEN=$(awk -v from="$started" -v to="$(date +%s.%N)" 'BEGIN { printf "%.1f", to - from }')
}

expect_rollout_status() {
  local expected=$1 what=$2
  [[ $STATUS == "$expected" ]] ||
    fail "$(printf '%s: ansible-playbook exited with %s, expected %s:\n%s' "$what" "$STATUS" "$expected" "$(tail -n 60 -- "$ROLLOUT_LOG")")"
}

# The role's report of each host's time: "host: N s" lines.
host_times() {
  sed -n 's/^.*"tarn [0-9.]* \(runs\|is not healthy\) on \(host[0-9]*\).* after \([0-9.]*\) s.*$/\2: \3 s/p' \
    -- "$ROLLOUT_LOG"
}

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

# 1. The first version everywhere, one host at a time.
rollout "tarn_version=$V1"
expect_rollout_status 0 "the rollout of $V1"
echo "Rollout of $V1 to ${#HOSTS[@]} hosts, one a batch: $SECONDS_TAKEN s"
host_times
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  expect_health "$host after the rollout of $V1" status=0 "version=$V1" state=Installed failed_version=none
done

# 2. The second version, whose watchdog server fails on host2 only: the marker that the
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
echo "Rollout of $V2, stopped after $FAULTY_HOST: $SECONDS_TAKEN s"
host_times
expect_rollout_status 2 "the rollout of $V2"
expect_contains "tarn $V2 runs on host1" "$ROLLOUT_LOG"
expect_contains "tarn $V2 is not healthy on $FAULTY_HOST" "$ROLLOUT_LOG"
sed -n '/^PLAY RECAP/,$p' -- "$ROLLOUT_LOG" >"$E2E_SCRATCH/recap"
expect_not_contains host3 "$E2E_SCRATCH/recap"

read_host_health host1 "${MARKS[host1]}"
expect_health "host1 after the rollout of $V2" status=0 "version=$V2" state=Installed failed_version=none \
  rollback_warning=none
read_host_health "$FAULTY_HOST" "${MARKS[$FAULTY_HOST]}"
expect_health "$FAULTY_HOST after the rollout of $V2" status=0 "version=$V1" state=RolledBack "failed_version=$V2" \
  "rollback_warning=The upgrade to version $V2 failed to start and was rolled back; version $V1 runs."
# The health check's failure names the rollback, and the package tool's output carried the
# launcher's warning.
expect_contains "rollback warning: The upgrade to version $V2 failed to start" "$ROLLOUT_LOG"
expect_contains "package tool warned of a rollback: yes" "$ROLLOUT_LOG"
# host3: the launcher never ran, and the package is the first version's.
expect_eq "${MARKS[host3]}" "$(on_host host3 sh -s -- --mark <"$FLEET_HEALTH")" "host3's trace"
expect_eq "$V1" "$(on_host host3 "dpkg-query -W -f '\${Version}' tarn")" "host3's package"
read_host_health host3
expect_health "host3 after the rollout of $V2" status=0 "version=$V1" state=Installed failed_version=none

# 3. Where each host stands.
printf '\n%-6s %-11s %-9s %-11s %-9s %s\n' host address version state failed "launcher --status"
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  printf '%-6s %-11s %-9s %-11s %-9s %s\n' "$host" "$(address_of "$host")" "${HEALTH[version]}" \
    "${HEALTH[state]}" "${HEALTH[failed_version]}" "${HEALTH[status]}"
done
echo

# 4. Once host2's fault is gone, the same rollout again: host1 runs the version already,
#    host2's package is installed again and its upgrade retried, host3 upgrades.
on_host "$FAULTY_HOST" rm "/var/opt/brevantis/tarn/install_$V2/opt/brevantis/tarn/libexec/wdserver.fail"
rollout "tarn_version=$V2"
expect_rollout_status 0 "the rollout of $V2 again"
echo "Rollout of $V2 again, after the fault on $FAULTY_HOST was removed: $SECONDS_TAKEN s"
host_times
for host in "${HOSTS[@]}"; do
  read_host_health "$host"
  expect_health "$host after the rollout of $V2 again" status=0 "version=$V2" state=Installed \
    failed_version=none
done

# 5. Removal keeps the product's data, purging does not: all hosts in one batch.
rollout tarn_state=absent tarn_batch=${#HOSTS[@]}
expect_rollout_status 0 "the removal"
echo "Removal on ${#HOSTS[@]} hosts at once: $SECONDS_TAKEN s"
for host in "${HOSTS[@]}"; do
  on_host "$host" test ! -e /etc/init.d/tarn || fail "the removal left the init script on $host"
  on_host "$host" test -f /var/opt/brevantis/tarn/common/tarn.ini ||
    fail "the removal took the product's configuration on $host"
done
rollout tarn_state=purged tarn_batch=${#HOSTS[@]}
expect_rollout_status 0 "the purge"
echo "Purge on ${#HOSTS[@]} hosts at once: $SECONDS_TAKEN s"
for host in "${HOSTS[@]}"; do
  on_host "$host" test ! -e /var/opt/brevantis/tarn || fail "the purge left /var/opt/brevantis/tarn on $host"
done
