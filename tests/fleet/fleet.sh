# shellcheck shell=bash
# shellcheck source-path=SCRIPTDIR
# Shared by the fleet tests: the end-to-end and package helpers, the published test repositories
# (build/repository, from `cmake --build build --target repository`), a web server for
# them, and the role's health report. The build passes LAUNCHER_SOURCE_DIR and
# LAUNCHER_REPOSITORY_DIR.
source "$(dirname "${BASH_SOURCE[0]}")/../packaging/packages.sh"

readonly FLEET_HEALTH=${LAUNCHER_SOURCE_DIR:-}/packaging/tarn-health
readonly FLEET_REPOSITORY=${LAUNCHER_REPOSITORY_DIR:-}
readonly FLEET_PORT=8080

# Fails unless the published repositories and the health script are there.
require_repository() {
  [[ -x $FLEET_HEALTH ]] || fail "LAUNCHER_SOURCE_DIR does not name the source tree"
  [[ -f $FLEET_REPOSITORY/apt/dists/stable/InRelease && -f $FLEET_REPOSITORY/rpm/repodata/repomd.xml.asc ]] ||
    fail "no published repositories in \"$FLEET_REPOSITORY\" (cmake --build build --target repository)"
}

# Serves DIR over HTTP on ADDRESS:$FLEET_PORT until the test ends; its request log goes to
# the scratch directory.
serve_directory() {
  local dir=$1 address=$2 attempt pid
  /usr/bin/python3 -m http.server --bind "$address" --directory "$dir" "$FLEET_PORT" \
    </dev/null >"$E2E_SCRATCH/http.log" 2>&1 &
  pid=$!
  at_exit kill "$pid"
  for ((attempt = 0; attempt < 500; attempt++)); do
    if (: <"/dev/tcp/$address/$FLEET_PORT") 2>/dev/null; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || fail "the web server did not start: $(cat -- "$E2E_SCRATCH/http.log")"
    sleep 0.02
  done
  fail "the web server on $address:$FLEET_PORT did not answer"
}

# Leaves apt only the sources that the test adds: the sandbox has no way out.
remove_apt_sources() {
  e2e_sandbox_only
  rm -f /etc/apt/sources.list
  find /etc/apt/sources.list.d -mindepth 1 -delete
}

# Sets HEALTH[key] from the health script's report on this host, with the rollback warning
# looked for in the trace after MARK (from "tarn-health --mark"; $WHOLE_TRACE: all of it).
# shellcheck disable=SC2034 # Used by the tests that source this file.
readonly WHOLE_TRACE=0:0
declare -A HEALTH=()
read_health() {
  local mark=$1 line
  HEALTH=()
  while IFS= read -r line; do
    HEALTH[${line%%=*}]=${line#*=}
  done < <("$FLEET_HEALTH" --since "$mark")
}

# The health report holds each KEY=VALUE given, as seen by WHAT.
expect_health() {
  local what=$1 pair actual
  shift
  for pair in "$@"; do
    actual=${HEALTH[${pair%%=*}]:-}
    expect_eq "${pair#*=}" "$actual" "$what: ${pair%%=*}"
  done
}

# Makes this sandbox a SysV host as Ansible sees it: /sbin/init is the init that runs, not
# a link to a systemd that this machine may have installed but that runs nowhere here.
look_like_sysv_host() {
  e2e_sandbox_only
  ln -sfn -- "$(readlink /proc/1/exe)" /usr/sbin/init
}

# Runs the tarn role on this host with the extra variables ARG... (key=value); its output
# goes to $ROLE_LOG, its exit status to STATUS.
ROLE_RUNS=0
run_role_here() {
  local variables=() pair
  for pair in "$@"; do
    variables+=(--extra-vars "$pair")
  done
  ROLE_RUNS=$((ROLE_RUNS + 1))
  ROLE_LOG=$E2E_SCRATCH/role$ROLE_RUNS.log
  if [[ ! -f $E2E_SCRATCH/role.yml ]]; then
    printf -- '- hosts: localhost\n  connection: local\n  gather_subset: [min]\n  roles: [%s]\n' \
      "$LAUNCHER_SOURCE_DIR/deploy/ansible/roles/tarn" >"$E2E_SCRATCH/role.yml"
  fi
  STATUS=0
  ANSIBLE_LOCAL_TEMP=$E2E_SCRATCH/ansible-tmp ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 \
    ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 \
    ansible-playbook -i localhost, "${variables[@]}" "$E2E_SCRATCH/role.yml" >"$ROLE_LOG" 2>&1 ||
    STATUS=$?
}

expect_role_ok() {
  ((STATUS == 0)) || fail "$(printf 'the role (%s) failed (%s):\n%s' "$1" "$STATUS" "$(tail -n 40 -- "$ROLE_LOG")")"
}

# Flips one byte in the middle of FILE, keeping its size.
damage_file() {
  local file=$1 size offset byte
  size=$(stat -c %s -- "$file")
  offset=$((size / 2))
  byte=$(od -An -tu1 -j "$offset" -N1 -- "$file" | tr -d ' ')
  printf '%b' "\\0$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
