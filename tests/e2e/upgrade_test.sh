#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The start-time upgrade chain with patches laid from the built tree: the installed
# 12.4.0.1 patch "a" and the new 12.6.0.118 patch "b".
#   upgrade_test.sh success: "b" starts, the links say Installed, a's tree is gone.
#   upgrade_test.sh rollback: "b"'s watchdog server fails; "a" runs again, RolledBack.
#   upgrade_test.sh renaming: upgrade.ini present; the product just starts.
#   upgrade_test.sh outside: a's server, started outside the service manager, still runs
#     when the restart starts b: it is stopped first, and only b's server runs.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
source "$(dirname "${BASH_SOURCE[0]}")/upgrade_lib.sh"
require_sandbox

case=${1:?usage: upgrade_test.sh success|rollback|renaming|outside}


case $case in
  success)
    lay_upgrade
    # For the clean-up after the upgrade: a running management agent, which counts the
    # SIGHUPs of a connector reload, and dumps of the old and the new version.
    hups=$E2E_SCRATCH/agent-hups
    agent=$(bash -c "trap 'echo hup >>$hups' HUP; while :; do sleep 0.05; done" </dev/null >/dev/null 2>&1 &
      echo "$!")
    at_exit kill "$agent"
    echo "$agent" >/var/run/qvnagent.pid
    dumps=$E2E_TARN_VAR/common/dumps
    mkdir -p -- "$dumps"
    touch -- "$dumps/tarn_12.4.0.1_1700000000.dmp" "$dumps/tarn_12.6.0.118_1700000001.dmp"
    start_as_service_manager
    expect_status 0
    expect_eq "current=$E2E_TARN_VAR/b upgrade=- previous=- failed=-" "$(links)" links
    [[ ! -e $E2E_TARN_VAR/a ]] || fail "the previous patch's tree is left behind"
    # The old launcher, the new one after exec, and the old one again for the export.
    expect_eq 3 "$(grep -c 'CreateCommand: Arguments:' "$E2E_TRACE_FILE")" "launcher runs"
    run_launcher --status
    expect_status 0
    expect_contains "started $E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/tarn-starter pid=" \
      /var/log/brevantis/tarn/tarn_wdserver.log
    expect_contains "SOV_STARTUP_MODE=2" /var/log/brevantis/tarn/tarn_wdserver.log
    expect_contains "Executing launcher $E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher ..." \
      "$E2E_TRACE_FILE"
    expect_contains "Upgrade state changed Start -> Installed" "$E2E_TRACE_FILE"
    json=$E2E_TARN_VAR/b/var/opt/brevantis/tarn/private/upgrade.json
    # The JSON writer escapes every slash.
    settings=$E2E_CURRENT_LINK/var/opt/brevantis/tarn/private/for_upgrade_settings.xml
    expect_contains "\"ForUpgradeSettings\": \"${settings//\//\\/}\"" "$json"
    expect_contains "\"OldVersion\": \"12.4.0.1\"" "$json"
    # The previous patch's updates came along.
    expect_file_eq $'base\n' "$E2E_TARN_VAR/b/var/opt/brevantis/tarn/private/updates/avbases/base.db"
    # Once the new patch runs and the state says Installed (which took the previous patch's
    # tree and its updates), the clean-up: the agent reloads its connectors, then the dumps
    # of other versions go, in this order.
    wait_until "the agent's SIGHUP" test -s "$hups"
    expect_eq "tarn_12.6.0.118_1700000001.dmp" "$(ls -- "$dumps")" "dumps after the upgrade"
    steps="Upgrade state changed Start -> Installed|ReloadConnectors() <- Reload connectors triggered|RemovePreviousUpdates: Removing $E2E_TARN_VAR/install-previous/var/opt/brevantis/tarn/private/updates ...|Remove: $dumps/tarn_12.4.0.1_1700000000.dmp removed"
    expect_eq "${steps//|/$'\n'}" "$(grep -oF "${steps//|/$'\n'}" "$E2E_TRACE_FILE")" "clean-up after the upgrade"
    ;;
  rollback)
    lay_upgrade
    break_wdserver "$E2E_TARN_VAR/b" "the new server cannot start"
    start_as_service_manager
    expect_status 0
    expect_eq "current=$E2E_TARN_VAR/a upgrade=$E2E_TARN_VAR/b previous=- failed=$E2E_TARN_VAR/b" \
      "$(links)" links
    expect_contains "Upgrade state changed RollingBack -> RolledBack" "$E2E_TRACE_FILE"
    expect_contains "the new server cannot start" "$E2E_TRACE_FILE"
    # Never silent: the start that rolled back says so on its console, which the service
    # manager keeps, and in the trace as an error.
    rollback="the upgrade to version 12.6.0.118 failed to start and was rolled back; version 12.4.0.1 runs."
    expect_console_warning "$rollback" "$OUT"
    expect_file_eq "" "$ERR"
    expect_contains "ERR RollingBack: T${rollback#t}" "$E2E_TRACE_FILE"
    run_launcher --status
    expect_status 0
    [[ $(readlink "/proc/$(<"$E2E_WDSERVER_PIDFILE")/exe") == "$E2E_TARN_VAR/a/"* ]] ||
      fail "the running server is not the previous patch's"
    # The next start finds RolledBack and only starts the product.
    run_launcher --start
    expect_status 2
    ;;
  outside)
    lay_upgrade_running
    old=$(<"$E2E_WDSERVER_PIDFILE")
    start_as_service_manager
    expect_status 0
    expect_eq "current=$E2E_TARN_VAR/b upgrade=- previous=- failed=-" "$(links)" links
    expect_contains "StopPreviousServer: Stopping the watchdog server of the previous patch $E2E_TARN_VAR/install-previous ..." \
      "$E2E_TRACE_FILE"
    [[ ! -e /proc/$old ]] || fail "the previous patch's server $old still runs beside the new one"
    run_launcher --status
    expect_status 0
    expect_eq 1 "$(pgrep -c -x wdserver)" "watchdog servers running"
    ;;
  renaming)
    install_product a 12.6.0.118
    printf '[Upgrade]\nVersion=12.6.0.118\n' >"$E2E_TARN_VAR/upgrade.ini"
    run_launcher
    expect_status 0
    expect_contains "GetUpgradeState: Current upgrade state: UpgradeWithRenaming" "$E2E_TRACE_FILE"
    expect_eq "current=$E2E_TARN_VAR/a upgrade=- previous=- failed=-" "$(links)" links
    run_launcher --status
    expect_status 0
    ;;
  *) fail "unknown case $case" ;;
esac
