# shellcheck shell=bash
# The command line that the launcher's start gives the watchdog server when the product ini
# sets nothing, for tests and benchmarks that start the stand-in server directly.
#
#   wdserver_command_line PATCH_ROOT
#
# sets the array WDSERVER_COMMAND_LINE: the patch's wdserver, its options, and the patch's
# product starter after "-e".
wdserver_command_line() {
  local libexec=$1/opt/brevantis/tarn/libexec
  # shellcheck disable=SC2034 # Read by the sourcing script.
  WDSERVER_COMMAND_LINE=(
    "$libexec/wdserver"
    --trace-level 0
    --trace-file /var/log/brevantis/tarn/tarn_wdserver.log
    --trace-max-file-size 100MB
    --trace-max-file-count 5
    --failed-kill NONE
    --wdsock /var/run/wdserver.sock
    --coredump-signal 5
    --shutdown-signal 15
    --headshot-signal 5
    --umask 63
    -p /var/run/wdserver.pid
    --n-restart 5
    --activity-timeout 2m
    --startup-timeout 3m
    --register-timeout 500ms
    --master-timeout 3m
    --timeout-after-coredump-signal 2m
    --timeout-after-shutdown-signal 2m
    --timeout-after-headshot-signal 2m
    --timeout-after-kill-signal 2d
    --max-used-mem highest/2048MB/50%
    --max-used-vmem off
    --max-used-swap off
    --syscall-probe-period 3s
    --syscall-check-period 32s
    --worklog /var/opt/brevantis/tarn/private/tarn_health.log
    --worklog-period 7200s
    --syscall-hangs
    --env SOV_STARTUP_MODE=0
    --env TERM=xterm
    -d
    -e "$libexec/tarn-starter"
  )
}
