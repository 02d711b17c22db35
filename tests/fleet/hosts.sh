# shellcheck shell=bash
# shellcheck disable=SC2034 # HEALTH, SECONDS_TAKEN and the like are read by the callers.
# Test hosts for rollouts, shared by the rollout test and the scale benchmark: each host is
# its own sandbox (private mount, PID and network namespaces, its own package database and
# product trees; SysV init or the real systemd) running sshd, with a veth pair to a bridge
# in the caller's namespace, on 192.0.2.0/24 (a documentation range; the network exists only
# between these namespaces). The caller, the controller, runs ansible-playbook. It sets
# HOSTS (names hostN) and INIT[host] (sysv or systemd) and sources fleet.sh first.
readonly NET=192.0.2
readonly CONTROLLER=$NET.1
readonly BRIDGE=fleet0
readonly SSH_DIR=$E2E_SCRATCH/ssh
readonly PLAYBOOK=$LAUNCHER_SOURCE_DIR/deploy/ansible/rollout.yml
readonly SANDBOX_SCRIPT=$LAUNCHER_SOURCE_DIR/tools/sandbox/sandbox
HOST_COMMAND=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/fleet-host
readonly HOST_COMMAND

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
  # From the SSH files' directory: the real systemd's sandbox sees the working directory
  # (bound in), and otherwise only its own state below /tmp.
  (cd -- "$SSH_DIR" && exec "$SANDBOX_SCRIPT" --init-binary "$SANDBOX_INIT_BINARY" \
    --init "${INIT[$host]}" --state "$state" -- \
    "$HOST_COMMAND" "$SSH_DIR/sshd_config" "$SSH_DIR/$host.key") \
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
forks = 5
nocolor = True
local_tmp = $E2E_SCRATCH/ansible-tmp

[ssh_connection]
pipelining = True
control_path_dir = $E2E_SCRATCH/cp
ssh_args = -o ControlMaster=auto -o ControlPersist=60s -o UserKnownHostsFile=$SSH_DIR/known_hosts -o StrictHostKeyChecking=yes -o IdentitiesOnly=yes
EOF
  export ANSIBLE_CONFIG=$E2E_SCRATCH/ansible.cfg
}

# Runs the rollout playbook with the extra variables ARG... (key=value, or --check for a
# preview); its output goes to $ROLLOUT_LOG, its exit status to STATUS, its duration in
# seconds to SECONDS_TAKEN.
ROLLOUTS=0
rollout() {
  local variables=() pair started
  for pair in "tarn_repository_url=http://$CONTROLLER:$FLEET_PORT" \
    "tarn_repository_key=$FLEET_REPOSITORY/tarn-archive-keyring.asc" "$@"; do
    if [[ $pair == --check ]]; then
      variables+=(--check)
    else
      variables+=(--extra-vars "$pair")
    fi
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

# Prints the time since the last phase began (or the test's start), and starts the next.
PHASE_STARTED=$(date +%s.%N)
phase_done() {
  local now
  now=$(date +%s.%N)
  awk -v name="$1" -v from="$PHASE_STARTED" -v to="$now" 'BEGIN { printf "phase %-34s %6.1f s\n", name ":", to - from }'
  PHASE_STARTED=$now
}

# What each host holds, one line per host: the package database's version and hold, the
# repository entries and keys, the patches and the upgrade state links. (Not the
# launcher's trace: a status query, which the health report makes, traces a line.)
host_fingerprints() {
  local host
  for host in "${HOSTS[@]}"; do
    printf '%s: %s\n' "$host" "$(on_host "$host" "dpkg-query -W -f '\${Version} \${db:Status-Abbrev}' tarn 2>/dev/null; \
      ls /etc/apt/sources.list.d /usr/share/keyrings | tr '\n' ' '; \
      find /var/opt/brevantis/tarn -maxdepth 1 -printf '%f>%l ' 2>/dev/null | tr ' ' '\n' | sort | tr '\n' ' '")"
  done
}

# The role's report of each host's time: "host: N s" lines.
host_times() {
  sed -n 's/^.*"tarn [0-9.]* \(runs\|is not healthy\) on \(host[0-9]*\).* after \([0-9.]*\) s.*$/\2: \3 s/p' \
    -- "$ROLLOUT_LOG"
}

