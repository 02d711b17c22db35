#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# "--export" as the upgrade runs it: the previous patch's launcher, with LD_LIBRARY_PATH set
# to that patch's library directory while install-current already names the new patch,
# writes both export files into the new patch; each failure ends with its message, exit
# status 1 and no file written.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

install_product previous 12.6.0.100
previous=$PATCH_DIR
lay_patch current 12.6.0.118
current=$PATCH_DIR
ln -sfn "$current" "$E2E_CURRENT_LINK"
private=$current/var/opt/brevantis/tarn/private
settings=$private/for_upgrade_settings.xml
data=$private/for_upgrade_peristent_data.xml

# Runs the previous patch's launcher with "--export" as the start's upgrade step does.
export_previous() {
  LD_LIBRARY_PATH=$previous/opt/brevantis/tarn/lib64/ \
    LAUNCHER=$previous/opt/brevantis/tarn/libexec/launcher run_launcher --export
}

export_previous
expect_status 0
expect_file_eq "" "$OUT"
expect_file_eq "" "$ERR"
expect_contains '<upgradeSettings formatVersion="1">' "$settings"
expect_contains '<task name="FileThreatProtection">' "$settings"
expect_contains '<value section="General" key="PackageType">deb</value>' "$settings"
expect_contains '<entry key="schema_version" size="2">MQo=</entry>' "$data"
expect_eq "600 600" "$(stat -c '%a' "$settings" "$data" | paste -sd ' ')" "modes of the export files"
[[ -z $(find "$previous/var" -name 'for_upgrade_*') ]] || fail "the export wrote into the previous patch"

storage=$previous/var/opt/brevantis/tarn/private/storage
library=$previous/opt/brevantis/tarn/lib64/libtarn_infra.so
# what breaks the export | the message
while IFS='|' read -r breaking message; do
  rm -f "$settings" "$data"
  rm -rf "$E2E_SCRATCH/saved"
  mkdir -p "$E2E_SCRATCH/saved"
  cp -a "$previous" "$E2E_SCRATCH/saved/previous"
  cp -a "$E2E_TARN_VAR/common" "$E2E_SCRATCH/saved/common"
  eval "$breaking"
  export_previous
  expect_status 1
  expect_console_error "$message" "$ERR"
  [[ ! -e $settings && ! -e $data ]] || fail "a failed export wrote a file ($breaking)"
  rm -rf "$previous" "$E2E_TARN_VAR/common"
  mv "$E2E_SCRATCH/saved/previous" "$previous"
  mv "$E2E_SCRATCH/saved/common" "$E2E_TARN_VAR/common"
done <<CASES
mv "$library" "$library.moved"|Can't create application infrastructure loader: $library: cannot open shared object file: No such file or directory
break_export "$previous" interface|Can't get interface IXmlStorageFactory
break_export "$previous"|Can't create task manager: Task manager refused on purpose (libtarn_infra.fail)
break_export "$previous" export|Can't export settings: Export refused on purpose (libtarn_infra.fail)
rm "$E2E_TARN_VAR/common/tarn.ini"|File $E2E_TARN_VAR/common/tarn.ini not found
rm "$storage/tarn_settings.xml"|File $storage/tarn_settings.xml not found
rm -r "$storage/kvdb"|File $storage/kvdb not found
CASES

# The launcher of the active patch exports into its own patch; a launcher outside any patch
# refuses.
LAUNCHER=$current/opt/brevantis/tarn/libexec/launcher run_launcher --export
expect_status 1
expect_console_error "File $current/var/opt/brevantis/tarn/private/storage/tarn_settings.xml not found" "$ERR"
run_launcher --export
expect_status 1
expect_console_error "Can't export settings: $(readlink -f "$LAUNCHER") is not the launcher of a patch" "$ERR"
