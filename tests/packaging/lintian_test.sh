#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# lintian finds neither errors nor warnings in the .deb, beyond those that the package's
# overrides file explains, and every override still matches something. lintian only reads
# the package, so this runs on the host.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"

command -v lintian >/dev/null || skip "lintian is not installed (tools/install-deps)"
DEB=$LAUNCHER_PACKAGES_DIR/tarn_${LAUNCHER_PRODUCT_VERSION}_$(dpkg --print-architecture).deb
[[ -f $DEB ]] || fail "$DEB is missing (cmake --build build --target packages)"

# lintian leaves some of its temporary files behind: they go to a directory of our own.
scratch=$(mktemp -d)
at_exit rm -rf -- "$scratch"
report=$scratch/report
status=0
# Errors end lintian with status 2; warnings appear as "W:" lines, overridden tags as "O:".
TMPDIR=$scratch lintian --allow-root --show-overrides --display-info -- "$DEB" >"$report" 2>&1 || status=$?
if ((status != 0)); then
  fail "$(printf 'lintian failed with status %s:\n%s' "$status" "$(cat "$report")")"
fi
if grep -E '^[EW]: |unused-override|mismatched-override' "$report"; then
  fail "lintian reports the lines above"
fi
grep -q '^O: tarn: file-in-unusual-dir ' "$report" || fail "the override of file-in-unusual-dir matched nothing"
