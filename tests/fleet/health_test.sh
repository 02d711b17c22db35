#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The health report (packaging/tarn-health, installed as /usr/sbin/tarn-health) on laid product
# trees: the upgrade state that the links record, the active and the failed version, and
# the rollback warning in the part of the trace written after a mark, also across a
# rotation of the trace.
source "$(dirname "${BASH_SOURCE[0]}")/fleet.sh"
require_sandbox
[[ -x $FLEET_HEALTH ]] || fail "LAUNCHER_SOURCE_DIR does not name the source tree"

readonly TRACE=/var/log/brevantis/tarn/tarn_launcher.log
readonly OLD=12.7.0.1 NEW=12.7.0.2
readonly WARNING="The upgrade to version $NEW failed to start and was rolled back; version $OLD runs."

# Lays the patches of both versions and points the links NAME=VERSION at them (the others
# removed).
lay_links() {
  local pair
  rm -f -- "$E2E_TARN_VAR"/install-* "$E2E_TARN_VAR/upgrade.ini"
  for pair in "$@"; do
    ln -sfn -- "$E2E_TARN_VAR/${pair#*=}_1" "$E2E_TARN_VAR/install-${pair%%=*}"
  done
}

mkdir -p -- "$E2E_TARN_VAR"
for version in "$OLD" "$NEW"; do
  mkdir -p -- "$E2E_TARN_VAR/${version}_1/opt/brevantis/tarn/doc"
  printf '[Product]\nProductVersion=%s\n' "$version" >"$E2E_TARN_VAR/${version}_1/opt/brevantis/tarn/doc/manifest.ini"
done

# links | state | version | failed version
cases=(
  "|NotInstalled|none|none"
  "current=$NEW|Installed|$NEW|none"
  "current=$OLD upgrade=$NEW|PackageReconfigured|$OLD|none"
  "current=$OLD upgrade=$NEW previous=$OLD|Upgrade|$OLD|none"
  "current=$NEW previous=$OLD|Start|$NEW|none"
  "current=$NEW previous=$OLD failed=$NEW|StartFailed|$NEW|$NEW"
  "current=$OLD failed=$NEW|RollingBack|$OLD|$NEW"
  "current=$OLD upgrade=$NEW failed=$NEW|RolledBack|$OLD|$NEW"
  "current=$OLD previous=$OLD failed=$NEW|UpgradeFailed|$OLD|$NEW"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r links state version failed <<<"$entry"
  read -r -a pairs <<<"$links"
  lay_links "${pairs[@]}"
  read_health "$WHOLE_TRACE"
  expect_health "links \"$links\"" "state=$state" "version=$version" "failed_version=$failed" \
    status=none rollback_warning=none
done
# When the rollback happened is when install-failed was laid; without a package of the
# product it is absent, whatever trees are left.
lay_links "current=$OLD" "upgrade=$NEW" "failed=$NEW"
touch -h -d '2026-12-11 08:15:02 UTC' -- "$E2E_TARN_VAR/install-failed"
read_health "$WHOLE_TRACE"
expect_health "a rollback's time" failed_at=2026-12-11T08:15:02Z product=absent package=none held=none
lay_links "current=$OLD"
read_health "$WHOLE_TRACE"
expect_health "no rollback" failed_at=none
touch -- "$E2E_TARN_VAR/upgrade.ini"
read_health "$WHOLE_TRACE"
expect_health "upgrade.ini" state=UpgradeWithRenaming

# The warning counts only after the mark; a trace rotated since the mark is read whole.
mkdir -p -- "${TRACE%/*}"
printf '10.06.24 12:00:00.000 1 ERR RollingBack: %s\n' "$WARNING" >"$TRACE"
read_health "$WHOLE_TRACE"
expect_health "a trace with the warning, no mark" "rollback_warning=$WARNING"
mark=$("$FLEET_HEALTH" --mark)
printf '10.06.24 12:00:01.000 1 DBG Start: started\n' >>"$TRACE"
read_health "$mark"
expect_health "the warning before the mark" rollback_warning=none
printf '10.06.24 12:00:02.000 1 ERR RollingBack: %s\n' "$WARNING" >>"$TRACE"
read_health "$mark"
expect_health "the warning after the mark" "rollback_warning=$WARNING"
mark=$("$FLEET_HEALTH" --mark)
mv -- "$TRACE" "$TRACE.1"
printf '10.06.24 12:00:03.000 1 ERR RollingBack: %s\n' "$WARNING" >"$TRACE"
read_health "$mark"
expect_health "the warning in a trace rotated after the mark" "rollback_warning=$WARNING"
