# shellcheck shell=bash
# Helpers of the tests that drive the product's service through the init system the
# sandbox shows: systemd, played by an answer of the systemctl stand-in that runs the
# installed unit's commands, or SysV, with the real service and update-rc.d running the
# shipped init script.

readonly SERVICE_UNIT=/lib/systemd/system/tarn.service
readonly SERVICE_WANTS=/etc/systemd/system/multi-user.target.wants/tarn.service

# "systemd" or "sysv", from PID 1 as the launcher tells them apart.
init_system() {
  if [[ $(readlink /proc/1/exe) == *systemd* ]]; then
    echo systemd
  else
    echo sysv
  fi
}

# Skips the test when the sandbox lacks a real TOOL.
require_real_tools() {
  local tool
  for tool in "$@"; do
    [[ -x $LAUNCHER_SANDBOX/real/$tool ]] || skip "the sandbox has no real $tool"
  done
}

# Makes the sandbox's service manager act on the product's service:
# - systemd: systemctl answers for tarn as systemd would with the installed unit file
#   (SERVICE_UNIT): start runs its ExecStart, and stop runs its ExecStop only for a unit
#   that systemctl started (systemd stops only what it started); restart and try-restart
#   do both. The commands' output is appended to $LAUNCHER_SANDBOX/service.log, as systemd
#   keeps it from the caller. An unknown unit fails with status 5, and enable, disable and
#   is-enabled keep the unit's link in the wants directory. Everything else succeeds
#   silently, as the plain stand-in does.
# - SysV: chkconfig is removed, as on a Debian system, so that update-rc.d registers the
#   init script.
use_service_manager() {
  if [[ $(init_system) == sysv ]]; then
    require_real_tools service update-rc.d
    standin_remove chkconfig
    return 0
  fi
  standin_answer systemctl <<EOF
unit=$SERVICE_UNIT
wants=$SERVICE_WANTS
active=$LAUNCHER_SANDBOX/tarn.active
EOF
  cat >>"$LAUNCHER_SANDBOX/answers/systemctl" <<'EOF'
# Runs the unit's command of KEY (ExecStart or ExecStop).
run_unit_command() {
  local command
  read -r -a command < <(sed -n "s/^$1=//p" "$unit")
  "${command[@]}" </dev/null >>"$LAUNCHER_SANDBOX/service.log" 2>&1
}

start() {
  local status=0
  run_unit_command ExecStart || status=$?
  # The launcher's "already running" is an active unit to systemd.
  ((status == 2)) && status=0
  ((status != 0)) || touch "$active"
  return "$status"
}

stop() {
  if [[ -e $active ]]; then
    run_unit_command ExecStop || true
    rm -f "$active"
  fi
}

arguments=("$@")
[[ ${arguments[0]:-} != --no-block ]] || arguments=("${arguments[@]:1}")
case "${arguments[*]}" in
  "show -p FragmentPath multi-user.target") echo "FragmentPath=${unit%/*}/multi-user.target" ;;
  "start tarn" | "stop tarn" | "restart tarn" | "try-restart tarn")
    if [[ ! -f $unit ]]; then
      echo "Failed to ${arguments[0]} tarn.service: Unit tarn.service not loaded." >&2
      exit 5
    fi
    case ${arguments[0]} in
      start) start ;;
      stop) stop ;;
      restart) stop && start ;;
      try-restart) [[ ! -e $active ]] || { stop && start; } ;;
    esac
    ;;
  "is-enabled tarn") [[ -L $wants ]] ;;
  "enable tarn") [[ -f $unit ]] && mkdir -p "${wants%/*}" && ln -sfn "$unit" "$wants" ;;
  "disable tarn") rm -f "$wants" ;;
esac
EOF
}
