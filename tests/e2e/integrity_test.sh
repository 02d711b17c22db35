#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The integrity checks of a start, each run in a child that the start does not wait for:
# the product's manifest ("tarn"), the GUI's when the patch has a GUI ("GUI"), and the
# management agent's when its package is installed ("qvnagent": its module checker first,
# when there is one, then the checker with the agent's manifest, or with its fallback
# manifest). Each outcome is an event, IntegrityCheckPassed or IntegrityCheckFailed, that
# names the component.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
require_sandbox

install_product a 12.6.0.118
opt=$PATCH_DIR/opt/brevantis/tarn
agent=/opt/brevantis/qvnagent64/bin
events=$E2E_TARN_VAR/common/offline-events
checks=$E2E_SCRATCH/checks

# Makes PROGRAM append its name and arguments to $checks before it runs.
record() {
  local program=$1
  mv -- "$program" "$program.real"
  # shellcheck disable=SC2016 # expanded by the wrapper
  printf '#!/bin/sh\necho "${0##*/} $*" >>%q\nexec %q "$@"\n' "$checks" "$program.real" >"$program"
  chmod 0755 -- "$program"
}

# The integrity events written so far, "<type> <component>" a line, sorted.
outcomes() {
  local file
  for file in "$events"/*.json; do
    [[ -e $file ]] || continue
    { tr -d ' \n' <"$file" && echo; } | sed -n 's/.*"EventType":"\(IntegrityCheck[A-Za-z]*\)".*"Arguments":\["\([^"]*\)".*/\1 \2/p'
  done | sort
}

count_outcomes() {
  [[ $(outcomes | wc -l) -ge $1 ]]
}

# The line of $checks that holds TEXT.
line_of() {
  grep -nF -- "$1" "$checks" | cut -d: -f1
}

# ---- The product's check fails (a file of its manifest is gone), the GUI's and the
# agent's pass; the agent's modules are checked before its files.
rm -- "$opt/libexec/cert-manager"
cp -- "$opt/libexec/tarn" "$opt/libexec/tarn-gui"
printf '<integrity>\n  <file>../libexec/tarn-gui</file>\n</integrity>\n' >"$opt/bin/gui_integrity_check.xml"
install_agent
record "$opt/bin/integrity_checker"
record "$agent/qvscmodchk"
run_launcher
expect_status 0
expect_contains "CheckIntegrity: GUI installed" "$E2E_TRACE_FILE"
wait_until "three integrity events" count_outcomes 3
expect_eq $'IntegrityCheckFailed tarn\nIntegrityCheckPassed GUI\nIntegrityCheckPassed qvnagent' \
  "$(outcomes)" "integrity events"
crl=$E2E_TARN_VAR/private/data/PDSCRL
for check in "integrity_checker --signature-type pds-with-filename --crl $crl $E2E_CURRENT_LINK/opt/brevantis/tarn/bin/integrity_check.xml" \
  "integrity_checker --signature-type pds-with-filename --crl $crl $E2E_CURRENT_LINK/opt/brevantis/tarn/bin/gui_integrity_check.xml"; do
  [[ -n $(line_of "$check") ]] || fail "no check \"$check\" in: $(cat -- "$checks")"
done
modules=$(line_of "qvscmodchk ")
files=$(line_of "integrity_checker --signature-type dsig2 $agent/qv_file_integrity_manifest.xml")
[[ -n $modules && -n $files && $modules -lt $files ]] ||
  fail "the agent's module check did not come before its file check: $(cat -- "$checks")"

# ---- Without its manifest the agent's files are checked against the fallback one, and
# without a module checker there is none to run; without the GUI, no GUI check.
run_launcher --stop
expect_status 0
rm -f -- "$events"/*.json "$checks" "$agent/qv_file_integrity_manifest.xml" "$agent/qvscmodchk" \
  "$agent/qvscmodchk.real" "$opt/libexec/tarn-gui"
printf '<integrity>\n</integrity>\n' >"$agent/integrity_check.xml"
: >"$E2E_TRACE_FILE"
run_launcher
expect_status 0
expect_contains "CheckIntegrity: GUI not installed" "$E2E_TRACE_FILE"
wait_until "two integrity events" count_outcomes 2
expect_eq $'IntegrityCheckFailed tarn\nIntegrityCheckPassed qvnagent' "$(outcomes)" "integrity events"
wait_until "the agent's check" grep -qF "integrity_checker --signature-type dsig2 $agent/integrity_check.xml" "$checks"
expect_not_contains "qvscmodchk" "$checks"
