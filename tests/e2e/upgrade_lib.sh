# shellcheck shell=bash
# Helpers of the upgrade tests: an installed patch "a" (12.4.0.1) with downloaded updates,
# and a new patch "b" (12.6.0.118) laid beside it by the package, as the install command
# leaves them (install-upgrade points at b: PackageReconfigured).

# Where the build has no settings export yet, the previous patch's launcher gets a wrapper
# that answers "--export" as the export does (the two files into the active patch) and
# runs the real launcher for everything else.
stub_export_if_missing() {
  local root=$1 libexec probe
  libexec=$root/opt/brevantis/tarn/libexec
  probe=$("$libexec/launcher" --export 2>&1 || true)
  [[ $probe == *"is not available in this build"* ]] || return 0
  mv -- "$libexec/launcher" "$libexec/launcher.real"
  cat >"$libexec/launcher" <<'SCRIPT'
#!/bin/sh
if [ "${1:-}" = --export ]; then
  private=/var/opt/brevantis/tarn/install-current/var/opt/brevantis/tarn/private
  mkdir -p "$private"
  echo '<settings/>' >"$private/for_upgrade_settings.xml"
  echo '<data/>' >"$private/for_upgrade_peristent_data.xml"
  exit 0
fi
exec "$(dirname "$0")/launcher.real" "$@"
SCRIPT
  chmod 0755 -- "$libexec/launcher"
}

lay_upgrade() {
  install_product a 12.4.0.1
  mkdir -p "$PATCH_DIR/var/opt/brevantis/tarn/private/updates/avbases"
  echo base >"$PATCH_DIR/var/opt/brevantis/tarn/private/updates/avbases/base.db"
  stub_export_if_missing "$PATCH_DIR"
  run_launcher
  expect_status 0
  lay_patch b 12.6.0.118
  mkdir -p "$PATCH_DIR/var/opt/brevantis/tarn/private"
  printf '{\n    "OldVersion": "12.4.0.1"\n}\n' >"$PATCH_DIR/var/opt/brevantis/tarn/private/upgrade.json"
  ln -s "$PATCH_DIR" "$E2E_TARN_VAR/install-upgrade"
  run_launcher --stop
  expect_status 0
  : >"$E2E_TRACE_FILE"
}

# Runs "start" the way the service unit does: the launcher that install-current names,
# without arguments.
start_as_service_manager() {
  local launcher=$LAUNCHER
  LAUNCHER=$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/launcher
  run_launcher
  LAUNCHER=$launcher
}
