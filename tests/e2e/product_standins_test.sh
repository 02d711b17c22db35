#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The product's smaller stand-ins as the launcher runs them: the kernel module preparation
# script and its failure markers, the integrity checker's command lines and verdicts, the
# patch's symlinks script, the certificate manager and the agent's module checker.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

install_product current 12.6.0.118
opt=$PATCH_DIR/opt/brevantis/tarn
module=$opt/lib64/modules/$(uname -r)/redirfs.ko

# Runs ARGS: sets STATUS, and OUT and ERR to the captured output files.
run() {
  OUT=$E2E_SCRATCH/run.out
  ERR=$E2E_SCRATCH/run.err
  STATUS=0
  "$@" >"$OUT" 2>"$ERR" || STATUS=$?
}

# --- prepare_module.sh: builds the module below its own patch, found through any link.
run "$E2E_CURRENT_LINK/opt/brevantis/tarn/libexec/prepare_module.sh"
expect_eq 0 "$STATUS" "exit status of prepare_module.sh"
[[ -f $module && -s $module ]] || fail "prepare_module.sh did not build $module"
expect_contains "Built " "$OUT"
rm -f "$module"

touch "$opt/libexec/prepare_module.nomodules"
run "$opt/libexec/prepare_module.sh"
expect_eq 0 "$STATUS" "exit status with prepare_module.nomodules"
[[ ! -e $module ]] || fail "prepare_module.nomodules still built $module"
rm "$opt/libexec/prepare_module.nomodules"

for message in "" "no kernel headers"; do
  printf '%s' "$message" >"$opt/libexec/prepare_module.fail"
  run "$opt/libexec/prepare_module.sh"
  expect_eq 1 "$STATUS" "exit status with prepare_module.fail"
  expect_file_eq "prepare_module.sh: ${message:-failing on purpose: $opt/libexec/prepare_module.fail exists}"$'\n' "$ERR"
  [[ ! -e $module ]] || fail "prepare_module.fail still built $module"
done
rm "$opt/libexec/prepare_module.fail"

# --- integrity_checker: the start's command lines pass on an intact patch.
checker=$opt/bin/integrity_checker
crl=/var/opt/brevantis/tarn/private/data/PDSCRL
while IFS='|' read -r arguments status; do
  read -r -a words <<<"${arguments//@M/$opt/bin/integrity_check.xml}"
  run "$checker" "${words[@]}"
  expect_eq "$status" "$STATUS" "exit status of integrity_checker $arguments"
  if ((status != 0)); then
    expect_contains "integrity_checker: bad command line" "$ERR"
  fi
done <<CASES
--signature-type pds-with-filename --crl $crl @M|0
--signature-type dsig2 @M|0
--signature-type dsig2 --crl $crl @M|0
--signature-type sha1 --crl $crl @M|1
--signature-type pds-with-filename --crl|1
--crl $crl --signature-type pds-with-filename @M|1
--signature-type pds-with-filename --crl $crl @M extra|1
@M|1
CASES

# A file of the patch gone: the checker names it and fails.
mv "$opt/libexec/tarn" "$E2E_SCRATCH/tarn"
run "$checker" --signature-type pds-with-filename --crl "$crl" "$opt/bin/integrity_check.xml"
expect_eq 1 "$STATUS" "exit status with a missing file"
expect_contains "integrity_checker: missing $opt/bin/../libexec/tarn" "$ERR"
mv "$E2E_SCRATCH/tarn" "$opt/libexec/tarn"

# A manifest that cannot be read.
printf '<integrity>' >"$E2E_SCRATCH/broken.xml"
for manifest in "$E2E_SCRATCH/broken.xml" "$E2E_SCRATCH/absent.xml"; do
  run "$checker" --signature-type dsig2 "$manifest"
  expect_eq 1 "$STATUS" "exit status for the manifest $manifest"
  expect_contains "integrity_checker: cannot read the manifest" "$ERR"
done

# --- symlinks: its links per install, removed only by the patch that owns them. Through
# them the configuration script that a first install names runs the patch's setup tool.
symlinks=$opt/libexec/symlinks
run "$symlinks" install "$PATCH_DIR"
expect_eq 0 "$STATUS" "exit status of symlinks install"
expect_eq "$opt/bin/setup" "$(readlink /usr/bin/tarn-setup)" "target of /usr/bin/tarn-setup"
expect_eq "$opt" "$(readlink /opt/brevantis/tarn)" "target of /opt/brevantis/tarn"
run /opt/brevantis/tarn/bin/tarn-setup.pl
expect_eq 0 "$STATUS" "exit status of /opt/brevantis/tarn/bin/tarn-setup.pl"
run "$symlinks" uninstall /var/opt/brevantis/tarn
expect_eq 0 "$STATUS" "exit status of symlinks uninstall for another root"
[[ -L /usr/bin/tarn-setup && -L /opt/brevantis/tarn ]] || fail "the uninstall of another patch removed its links"
run "$symlinks" uninstall "$PATCH_DIR"
expect_eq 0 "$STATUS" "exit status of symlinks uninstall"
for link in /usr/bin/tarn-setup /opt/brevantis/tarn; do
  [[ ! -e $link && ! -L $link ]] || fail "$link outlived the uninstall"
done
# A real directory in the product's place is not the script's to replace.
mkdir -p /opt/brevantis/tarn
run "$symlinks" install "$PATCH_DIR"
expect_eq 0 "$STATUS" "exit status of symlinks install beside a directory"
[[ -d /opt/brevantis/tarn && ! -L /opt/brevantis/tarn ]] || fail "the directory /opt/brevantis/tarn was replaced"
rmdir /opt/brevantis/tarn
for arguments in "" "install" "remove $PATCH_DIR" "install relative/root" "install $PATCH_DIR extra"; do
  read -r -a words <<<"$arguments"
  run "$symlinks" "${words[@]}"
  expect_eq 1 "$STATUS" "exit status of symlinks $arguments"
done

# --- cert-manager and the agent's module checker.
run "$opt/libexec/cert-manager" --remove-all
expect_eq 0 "$STATUS" "exit status of cert-manager --remove-all"
run "$opt/libexec/cert-manager" --remove
expect_eq 1 "$STATUS" "exit status of cert-manager --remove"

lay_agent_files
run /opt/brevantis/qvnagent64/bin/qvscmodchk
expect_eq 0 "$STATUS" "exit status of qvscmodchk"
run "$checker" --signature-type dsig2 /opt/brevantis/qvnagent64/bin/qv_file_integrity_manifest.xml
expect_eq 0 "$STATUS" "exit status of the agent's integrity check"
