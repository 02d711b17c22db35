#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The maintainer scripts as the real dpkg and rpm run them, in packages whose launcher only
# records its calls (stub-launcher): a failed first installation continued by
# "dpkg --configure -a" with the same tag, an upgrade that installs the new version and
# never uninstalls, a reinstall with a new tag, and the removal, purge and erase.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
require_sandbox

read -r -a versions <<<"${LAUNCHER_STUB_VERSIONS:-}"
((${#versions[@]} == 2)) || fail "LAUNCHER_STUB_VERSIONS must name two versions"
readonly V1=${versions[0]} V2=${versions[1]}
find_packages "$V1" "$LAUNCHER_STUB_PACKAGES_DIR"
readonly DEB1=$DEB RPM1=$RPM
find_packages "$V2" "$LAUNCHER_STUB_PACKAGES_DIR"
readonly DEB2=$DEB RPM2=$RPM
readonly CALLS=/var/tmp/stub-launcher.calls
readonly FAILS=/var/tmp/stub-launcher.fails
readonly DATA=$PRODUCT_VAR/common/tarn.ini

# Runs a package tool; its output goes to the scratch directory. Sets STATUS.
package_tool() {
  STATUS=0
  "$@" >"$E2E_SCRATCH/tool.out" 2>&1 || STATUS=$?
}

expect_tool_status() {
  local expected=$1
  [[ $STATUS == "$expected" ]] ||
    fail "$(printf 'exit status %s, expected %s; output:\n%s' "$STATUS" "$expected" "$(cat "$E2E_SCRATCH/tool.out")")"
}

dpkg_status() {
  dpkg-query --show --showformat '${Status} ${Version}' tarn 2>/dev/null || echo "not installed"
}

# The tags of the "--install" calls so far, one a line.
install_tags() {
  sed -n 's/^--install \([^ ]*\) --package-type [a-z]*$/\1/p' -- "$CALLS"
}

# ---------------------------------------------------------------------------------------
# dpkg
# ---------------------------------------------------------------------------------------

# The first installation fails; its rerun continues with the same tag until it succeeds.
touch -- "$FAILS"
package_tool dpkg --install "$DEB1"
expect_tool_status 1
expect_eq "install ok half-configured $V1" "$(dpkg_status)" "dpkg's state after the failure"
package_tool dpkg --configure --pending
expect_tool_status 1
rm -f -- "$FAILS"
package_tool dpkg --configure --pending
expect_tool_status 0
expect_eq "install ok installed $V1" "$(dpkg_status)" "dpkg's state after the rerun"
tag=$(install_tags | head -n 1)
expect_eq "$(printf -- "--install $tag --package-type deb\n%.0s" 1 2 3)" "$(cat -- "$CALLS")" \
  "launcher calls of a failed installation and its two reruns"
mkdir -p -- "${DATA%/*}"
printf 'kept\n' >"$DATA"

# The upgrade installs the new version's files and runs only its install.
: >"$CALLS"
package_tool dpkg --install "$DEB2"
expect_tool_status 0
expect_eq "install ok installed $V2" "$(dpkg_status)" "dpkg's state after the upgrade"
expect_eq "--install $(install_tags) --package-type deb" "$(cat "$CALLS")" "launcher calls of the upgrade"
[[ ! -e $PRODUCT_VAR/install_$V1 && -x $PRODUCT_VAR/install_$V2/opt/brevantis/tarn/libexec/launcher ]] ||
  fail "the upgrade did not replace install_$V1 by install_$V2"

# A reinstall is a new installation.
package_tool dpkg --install "$DEB2"
expect_tool_status 0
expect_eq 2 "$(install_tags | sort -u | wc -l)" "different tags of the upgrade and the reinstall"

# The removal uninstalls and keeps the data; the purge removes it.
: >"$CALLS"
package_tool dpkg --remove tarn
expect_tool_status 0
expect_eq "--uninstall" "$(cat "$CALLS")" "launcher calls of the removal"
expect_eq "deinstall ok config-files $V2" "$(dpkg_status)" "dpkg's state after the removal"
expect_file_eq $'kept\n' "$DATA"
[[ ! -e $PRODUCT_VAR/install_$V2 ]] || fail "the removal left the package's files"
package_tool dpkg --purge tarn
expect_tool_status 0
expect_eq "not installed" "$(dpkg_status)" "dpkg's state after the purge"
[[ ! -e $PRODUCT_VAR ]] || fail "the purge left $PRODUCT_VAR"
expect_eq "--uninstall" "$(cat "$CALLS")" "launcher calls of the removal and the purge"

# ---------------------------------------------------------------------------------------
# rpm (its database here holds none of the system's packages: no dependency checks)
# ---------------------------------------------------------------------------------------

# A failed installation leaves the package installed; installing it again is a new unpack,
# which abandons the failed installation and its patch directory for a new one.
: >"$CALLS"
touch -- "$FAILS"
package_tool rpm --upgrade --nodeps "$RPM1"
# rpm exits 0 after a failed %post and only warns.
expect_contains "%post(tarn-$V1-1." "$E2E_SCRATCH/tool.out"
expect_contains "scriptlet failed, exit status 1" "$E2E_SCRATCH/tool.out"
expect_eq "$V1" "$(rpm --query --queryformat '%{VERSION}' tarn)" "installed version after the failure"
failed_tag=$(install_tags | tail -n 1)
[[ -d $PRODUCT_VAR/${V1}_$failed_tag ]] || fail "the failed installation made no patch directory"
rm -f -- "$FAILS"
package_tool rpm --upgrade --replacepkgs --nodeps "$RPM1"
expect_tool_status 0
expect_eq 2 "$(install_tags | wc -l)" "installations of two unpacks"
expect_eq "$PRODUCT_VAR/${V1}_$(install_tags | tail -n 1)" "$(find "$PRODUCT_VAR" -maxdepth 1 -name "${V1}_*")" \
  "patch directories after the second unpack"
mkdir -p -- "${DATA%/*}"
printf 'kept\n' >"$DATA"

# The upgrade runs the new %post first, then the old %preun and %postun: only the install.
: >"$CALLS"
package_tool rpm --upgrade --nodeps "$RPM2"
expect_tool_status 0
expect_eq "--install $(install_tags) --package-type rpm" "$(cat "$CALLS")" "launcher calls of the upgrade"
expect_file_eq $'kept\n' "$DATA"
[[ ! -e $PRODUCT_VAR/install_$V1 && ! -e $PRODUCT_VAR/install_$V1.tag ]] ||
  fail "the upgrade left the files of $V1"

# The erase uninstalls and removes the data.
: >"$CALLS"
package_tool rpm --erase --nodeps tarn
expect_tool_status 0
expect_eq "--uninstall" "$(cat "$CALLS")" "launcher calls of the erase"
[[ ! -e $PRODUCT_VAR ]] || fail "the erase left $PRODUCT_VAR"
not rpm --query tarn >/dev/null
