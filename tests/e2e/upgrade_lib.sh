# shellcheck shell=bash
# Helpers of the upgrade tests: an installed patch "a" (12.4.0.1) with downloaded updates,
# and a new patch "b" (12.6.0.118) laid beside it by the package, as the install command
# leaves them (install-upgrade points at b: PackageReconfigured).

# Whether the built launcher carries the settings export. Asked before anything is
# installed, so that a real export has nothing to write.
export_available() {
  local probe
  probe=$("$LAUNCHER" --export 2>&1 || true)
  [[ $probe != *"is not available in this build"* ]]
}

# Where the build has no settings export yet, the previous patch's launcher gets a wrapper
# that answers "--export" as the export does (the two files into the active patch) and
# runs the real launcher for everything else.
stub_export() {
  local root=$1 libexec
  libexec=$root/opt/brevantis/tarn/libexec
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
  upgrade_lib_lay stopped
}

# The same, but a's server keeps running, as one started by hand would: the service
# manager's restart does not stop what it did not start.
lay_upgrade_running() {
  upgrade_lib_lay running
}

upgrade_lib_lay() {
  local stub=0 server=$1
  export_available || stub=1
  install_product a 12.4.0.1
  mkdir -p "$PATCH_DIR/var/opt/brevantis/tarn/private/updates/avbases"
  echo base >"$PATCH_DIR/var/opt/brevantis/tarn/private/updates/avbases/base.db"
  ((stub == 0)) || stub_export "$PATCH_DIR"
  run_launcher
  expect_status 0
  lay_patch b 12.6.0.118
  mkdir -p "$PATCH_DIR/var/opt/brevantis/tarn/private"
  printf '{\n    "OldVersion": "12.4.0.1"\n}\n' >"$PATCH_DIR/var/opt/brevantis/tarn/private/upgrade.json"
  ln -s "$PATCH_DIR" "$E2E_TARN_VAR/install-upgrade"
  if [[ $server != running ]]; then
    run_launcher --stop
    expect_status 0
  fi
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
