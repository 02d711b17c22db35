#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The published repositories through the hosts' own package tools, in the sandbox under
# SysV init, served over HTTP on the loopback interface:
#   apt: the repository added with signed-by; apt-get installs the first version and
#        upgrades to the second, which then runs; then apt-get refuses a repository that is
#        unsigned, signed by another key, whose signed Release or whose package index was
#        altered, or whose package was altered, and the second version keeps running;
#   rpm: the same with dnf (gpgcheck and repo_gpgcheck), over a package that provides what
#        the Debian system below has, since rpm's database knows none of it. The Ansible
#        role, run here as on a dnf host, adds the repository, installs, upgrades (checking
#        the product's health: an upgrade that rolled back fails, and running the role
#        again retries it), holds the version against dnf upgrade (versionlock) and finally
#        purges, lifting the hold and removing the key; dnf itself refuses metadata unsigned, signed
#        by another key or altered, and a package unsigned or altered; rpmkeys tells the
#        published, signed packages from the unsigned builds.
# With apt, publishing again is checked too: it keeps the published versions and refuses
# another build of one of them; a withdrawn version leaves both repositories, signed again,
# and apt no longer offers it.
# Argument: apt or rpm.
source "$(dirname "${BASH_SOURCE[0]}")/fleet.sh"
require_sandbox
require_repository

readonly FORMAT=${1:-}
readonly V1=12.7.0.1 V2=12.7.0.2 REFUSED=12.7.0.4
readonly WWW=$E2E_SCRATCH/www
readonly BASE_URL=http://127.0.0.1:$FLEET_PORT

# Runs the package tool ARG...; its output goes to $TOOL_OUT, its exit status to STATUS.
TOOL_OUT=$E2E_SCRATCH/tool.out
tool() {
  STATUS=0
  printf '$ %s\n' "$*" >>"$E2E_SCRATCH/tools.log"
  "$@" >"$TOOL_OUT" 2>&1 || STATUS=$?
  cat -- "$TOOL_OUT" >>"$E2E_SCRATCH/tools.log"
}

# The last tool run succeeded (WHAT names it in the failure).
expect_tool_ok() {
  ((STATUS == 0)) || fail "$(printf '%s failed (%s):\n%s' "$1" "$STATUS" "$(cat -- "$TOOL_OUT")")"
}
# The last tool run (WHAT) failed, saying TEXT.
expect_tool_refused() {
  local what=$1 text=$2
  ((STATUS != 0)) || fail "$(printf '%s was not refused:\n%s' "$what" "$(cat -- "$TOOL_OUT")")"
  expect_contains "$text" "$TOOL_OUT"
}

# VERSION runs, installed and healthy as the role checks it.
expect_runs() {
  read_health "$WHOLE_TRACE"
  expect_health "$2" status=0 "version=$1" state=Installed failed_version=none
}

# A copy of the published repository of FORMAT (apt or rpm) as variant NAME below $WWW,
# to be broken in one way.
make_variant() {
  local name=$1 format=$2
  mkdir -p -- "$WWW/$name"
  cp -a -- "$FLEET_REPOSITORY/$format" "$WWW/$name/$format"
}

# A second signing key, which the hosts do not trust.
foreign_key_home() {
  if [[ ! -d $E2E_SCRATCH/foreign-key ]]; then
    "$LAUNCHER_SOURCE_DIR/repository/make-test-key" "$E2E_SCRATCH/foreign-key" >/dev/null
    at_exit gpgconf --homedir "$E2E_SCRATCH/foreign-key" --kill gpg-agent
  fi
  printf '%s\n' "$E2E_SCRATCH/foreign-key"
}

# A copy of the build's signing key, so that its agent's socket stays in the sandbox.
own_key_home() {
  if [[ ! -d $E2E_SCRATCH/own-key ]]; then
    cp -a -- "$LAUNCHER_REPOSITORY_KEY_HOME" "$E2E_SCRATCH/own-key"
    find "$E2E_SCRATCH/own-key" -name 'S.*' -delete
    at_exit gpgconf --homedir "$E2E_SCRATCH/own-key" --kill gpg-agent
  fi
  printf '%s\n' "$E2E_SCRATCH/own-key"
}

# Writes the detached signature of FILE by the key in HOME to OUTPUT (armored).
sign_detached() {
  local home=$1 file=$2 output=$3
  rm -f -- "$output"
  gpg --homedir "$home" --batch --quiet --armor --detach-sign --output "$output" -- "$file"
}

# ---------------------------------------------------------------------------------------
# apt
# ---------------------------------------------------------------------------------------

readonly APT_KEYRING=/usr/share/keyrings/tarn-archive-keyring.gpg

apt_source() {
  printf 'deb [signed-by=%s] %s/%s/apt stable main\n' "$APT_KEYRING" "$BASE_URL" "$1" \
    >/etc/apt/sources.list.d/tarn.list
}

apt_get() {
  tool env DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Dpkg::Use-Pty=0 "$@"
}

# Lays the apt variants, each broken in its own way.
make_apt_variants() {
  local dists foreign
  foreign=$(foreign_key_home)

  make_variant unsigned apt
  rm -f -- "$WWW/unsigned/apt/dists/stable/InRelease" "$WWW/unsigned/apt/dists/stable/Release.gpg"

  make_variant foreign-key apt
  dists=$WWW/foreign-key/apt/dists/stable
  rm -f -- "$dists/InRelease" "$dists/Release.gpg"
  gpg --homedir "$foreign" --batch --quiet --clearsign --output "$dists/InRelease" -- "$dists/Release"
  sign_detached "$foreign" "$dists/Release" "$dists/Release.gpg"

  # The signed text changed after signing, in both forms.
  make_variant altered-release apt
  dists=$WWW/altered-release/apt/dists/stable
  sed -i 's/^Label: Tarn$/Label: Tarx/' -- "$dists/InRelease" "$dists/Release"

  # An index whose entries no longer match the Release file's checksums.
  make_variant altered-index apt
  dists=$WWW/altered-index/apt/dists/stable/main/binary-$(dpkg --print-architecture)
  sed -i "s/^Version: $REFUSED\$/Version: ${REFUSED%.*}.9/" -- "$dists/Packages"
  gzip -9n --force --keep -- "$dists/Packages"

  # A package whose file no longer matches its index entry.
  make_variant altered-package apt
  damage_file "$WWW/altered-package/apt/pool/main/t/tarn/tarn_${REFUSED}_$(dpkg --print-architecture).deb"
}

test_apt() {
  remove_apt_sources
  install -D -m 0644 -- "$FLEET_REPOSITORY/tarn-archive-keyring.gpg" "$APT_KEYRING"

  # Install and upgrade from the published repository.
  apt_source published
  apt_get update
  expect_tool_ok "apt-get update"
  apt_get install "tarn=$V1"
  expect_tool_ok "apt-get install tarn=$V1"
  service tarn start >>"$E2E_SCRATCH/tools.log" 2>&1
  expect_runs "$V1" "after installing $V1"
  apt_get install "tarn=$V2"
  expect_tool_ok "apt-get install tarn=$V2"
  expect_runs "$V2" "after the upgrade to $V2"
  expect_eq "$V2" "$(dpkg-query -W -f '${Version}' tarn)" "dpkg's version of tarn"

  # Repositories that apt must refuse: the variant, and what apt says.
  make_apt_variants
  local cases=(
    "unsigned|is not signed"
    "foreign-key|NO_PUBKEY"
    "altered-release|BADSIG"
    "altered-index|Hash Sum mismatch"
  )
  local entry variant text
  for entry in "${cases[@]}"; do
    variant=${entry%%|*}
    text=${entry#*|}
    apt_source "$variant"
    apt_get update
    expect_tool_refused "apt-get update from the $variant repository" "$text"
    apt_get install "tarn=$REFUSED"
    expect_tool_refused "apt-get install from the $variant repository" "'$REFUSED' for 'tarn' was not found"
    expect_runs "$V2" "after the $variant repository"
  done
  # The altered package: the index is good, the download is not.
  apt_source altered-package
  apt_get update
  expect_tool_ok "apt-get update from the altered-package repository"
  apt_get install "tarn=$REFUSED"
  expect_tool_refused "the altered package" "Hash Sum mismatch"
  expect_runs "$V2" "after the altered package"
  expect_eq "$V2" "$(dpkg-query -W -f '${Version}' tarn)" "dpkg's version of tarn after the refusals"

  apt_source published
  apt_get update
  apt_get purge tarn
  expect_tool_ok "apt-get purge tarn"
  [[ ! -e /var/opt/brevantis/tarn ]] || fail "the purge left /var/opt/brevantis/tarn"
}

# Publishing again adds versions and keeps the published ones; another build of a published
# version is refused and leaves the repository as it was.
test_republish() {
  local key out=$WWW/republished arch
  key=$(own_key_home)
  arch=$(dpkg --print-architecture)
  for version in "$V1" "$V2"; do
    find_packages "$version" "$LAUNCHER_LIFECYCLE_PACKAGES_DIR"
    tool "$LAUNCHER_SOURCE_DIR/repository/publish" --key "$LAUNCHER_REPOSITORY_KEY" \
      --gnupghome "$key" --output "$out" "$DEB" "$RPM"
    expect_tool_ok "publishing $version"
  done
  expect_eq "$V1 $V2" "$(sed -n 's/^Version: //p' "$out/apt/dists/stable/main/binary-$arch/Packages" | xargs)" \
    "versions in the apt index"
  expect_eq 2 "$(find "$out/rpm" -name 'tarn-*.rpm' | wc -l)" "packages in the rpm repository"
  gpgv --keyring "$out/tarn-archive-keyring.gpg" -- "$out/apt/dists/stable/InRelease" 2>/dev/null ||
    fail "the republished InRelease does not verify"
  gpgv --keyring "$out/tarn-archive-keyring.gpg" -- "$out/rpm/repodata/repomd.xml.asc" \
    "$out/rpm/repodata/repomd.xml" 2>/dev/null || fail "the republished repomd.xml does not verify"

  cp -a -- "$out" "$out.before"
  find_packages "$V1" "$LAUNCHER_STUB_PACKAGES_DIR"
  for package in "$DEB" "$RPM"; do
    tool "$LAUNCHER_SOURCE_DIR/repository/publish" --key "$LAUNCHER_REPOSITORY_KEY" \
      --gnupghome "$key" --output "$out" "$package"
    expect_tool_refused "publishing another build of $V1" "is published already as another build"
  done
  diff -r -- "$out.before" "$out" >/dev/null || fail "the refused publication changed the repository"
  rm -rf -- "$out.before"
}

# A withdrawn version leaves both repositories, which verify again, and apt no longer
# offers it; the other version stays. Withdrawing a version that is not there fails.
test_withdraw() {
  local key out=$WWW/republished
  key=$(own_key_home)
  apt_source republished
  apt_get update
  expect_tool_ok "apt-get update from the republished repository"
  expect_eq "$V1 $V2" "$(apt-cache madison tarn | awk '{print $3}' | LC_ALL=C sort | xargs)" \
    "versions that apt offers before the withdrawal"

  tool "$LAUNCHER_SOURCE_DIR/repository/publish" --key "$LAUNCHER_REPOSITORY_KEY" \
    --gnupghome "$key" --output "$out" --withdraw "$V2"
  expect_tool_ok "withdrawing $V2"
  expect_eq "" "$(find "$out" -name "tarn[_-]${V2}[_-]*")" "packages of $V2 left"
  gpgv --keyring "$out/tarn-archive-keyring.gpg" -- "$out/apt/dists/stable/InRelease" 2>/dev/null ||
    fail "InRelease does not verify after the withdrawal"
  gpgv --keyring "$out/tarn-archive-keyring.gpg" -- "$out/rpm/repodata/repomd.xml.asc" \
    "$out/rpm/repodata/repomd.xml" 2>/dev/null || fail "repomd.xml does not verify after the withdrawal"
  zcat -f -- "$out"/rpm/repodata/*-primary.xml* >"$E2E_SCRATCH/primary.xml"
  expect_not_contains "$V2" "$E2E_SCRATCH/primary.xml"

  apt_get update
  expect_tool_ok "apt-get update after the withdrawal"
  expect_eq "$V1" "$(apt-cache madison tarn | awk '{print $3}' | xargs)" \
    "versions that apt offers after the withdrawal"
  apt_get install "tarn=$V2"
  expect_tool_refused "apt-get install of the withdrawn $V2" "'$V2' for 'tarn' was not found"

  tool "$LAUNCHER_SOURCE_DIR/repository/publish" --key "$LAUNCHER_REPOSITORY_KEY" \
    --gnupghome "$key" --output "$out" --withdraw "$V2"
  expect_tool_refused "withdrawing $V2 again" "version $V2 is not published in $out"
}

# ---------------------------------------------------------------------------------------
# rpm
# ---------------------------------------------------------------------------------------

readonly RPM_KEY=/etc/pki/rpm-gpg/RPM-GPG-KEY-tarn

# Installs a package that provides what the product's packages require of the system: on
# this Debian system dpkg has it, and rpm's own database is empty.
install_system_provides() {
  local spec=$E2E_SCRATCH/system-provides.spec capability
  {
    printf 'Name: fleet-test-system\nVersion: 1\nRelease: 1\nLicense: none\nBuildArch: noarch\n'
    printf 'Summary: What the Debian system below provides to rpm packages\n'
    # A SysV system: the rich dependency "(systemd or chkconfig)" takes chkconfig.
    printf 'Provides: chkconfig\n'
    while IFS= read -r capability; do
      printf 'Provides: %s\n' "$capability"
    done < <(rpm --query --package --requires -- "$FLEET_REPOSITORY"/rpm/*.rpm 2>/dev/null |
      grep -v -e '^rpmlib(' -e '^config(' -e '^(' -e '^tarn' | sed 's/ *$//' | LC_ALL=C sort -u)
    printf '%%description\nFor the fleet tests.\n%%files\n'
  } >"$spec"
  HOME=$E2E_SCRATCH rpmbuild -bb --quiet --define "_topdir $E2E_SCRATCH/rpmbuild" "$spec" \
    >"$E2E_SCRATCH/rpmbuild.log" 2>&1 || fail "rpmbuild: $(cat -- "$E2E_SCRATCH/rpmbuild.log")"
  tool rpm --install -- "$E2E_SCRATCH"/rpmbuild/RPMS/noarch/fleet-test-system-1-1.noarch.rpm
  expect_tool_ok "rpm --install of the system's provides"
}

# Makes the variant NAME the only repository that dnf knows (the role added "tarn", which
# goes too).
dnf_source() {
  rm -f /etc/yum.repos.d/*.repo
  cat >"/etc/yum.repos.d/tarn-$1.repo" <<EOF
[tarn-$1]
name=Tarn ($1)
baseurl=$BASE_URL/$1/rpm
gpgcheck=1
repo_gpgcheck=1
gpgkey=file://$RPM_KEY
skip_if_unavailable=0
EOF
}

dnf_run() {
  # This Debian system has no release package that would tell dnf its release.
  tool dnf -y --releasever=12 "$@"
}

# Writes the repodata of the rpm repository DIR, signed by the key in HOME.
index_rpm_repository() {
  local dir=$1 home=$2
  rm -rf -- "$dir/repodata"
  createrepo_c --quiet --no-database -- "$dir" >/dev/null
  sign_detached "$home" "$dir/repodata/repomd.xml" "$dir/repodata/repomd.xml.asc"
}

make_rpm_variants() {
  local foreign own rpm_name
  foreign=$(foreign_key_home)
  own=$(own_key_home)
  rpm_name=tarn-$REFUSED-1.$(rpm --eval '%{_arch}').rpm

  make_variant unsigned-metadata rpm
  rm -f -- "$WWW/unsigned-metadata/rpm/repodata/repomd.xml.asc"

  make_variant foreign-key rpm
  sign_detached "$foreign" "$WWW/foreign-key/rpm/repodata/repomd.xml" \
    "$WWW/foreign-key/rpm/repodata/repomd.xml.asc"

  make_variant altered-metadata rpm
  sed -i 's|</repomd>|<!-- altered --></repomd>|' -- "$WWW/altered-metadata/rpm/repodata/repomd.xml"

  # Signed metadata listing a package that was never signed.
  mkdir -p -- "$WWW/unsigned-package/rpm"
  cp -- "$LAUNCHER_LIFECYCLE_PACKAGES_DIR/$rpm_name" "$WWW/unsigned-package/rpm/"
  index_rpm_repository "$WWW/unsigned-package/rpm" "$own"

  make_variant altered-package rpm
  damage_file "$WWW/altered-package/rpm/$rpm_name"
}

test_rpm() {
  install_system_provides
  look_like_sysv_host

  # The role on this host as on a dnf host: it adds the repository (gpgcheck and
  # repo_gpgcheck, the key imported), installs, starts, upgrades and checks.
  local role_variables=(tarn_package_manager=dnf "tarn_repository_url=$BASE_URL/published"
    "tarn_repository_key=$FLEET_REPOSITORY/tarn-archive-keyring.asc")
  run_role_here "${role_variables[@]}" "tarn_version=$V1"
  expect_role_ok "install $V1 with dnf"
  expect_runs "$V1" "after installing $V1"
  expect_health "after installing $V1" "held=$V1" "package=$V1"
  # The role's versionlock holds the version against dnf upgrade, which would take the
  # newest published one.
  dnf_run upgrade
  expect_tool_ok "dnf upgrade"
  expect_eq "$V1" "$(rpm --query --queryformat '%{VERSION}' tarn)" "rpm's version of tarn after dnf upgrade"
  # The upgrade first rolls back, its watchdog server made to fail on this host: the role
  # fails its check; once the fault is gone, running the role again retries the upgrade.
  local marker=$E2E_TARN_VAR/install_$V2/opt/brevantis/tarn/libexec/wdserver.fail
  mkdir -p -- "${marker%/*}"
  echo "the watchdog server of $V2 fails here" >"$marker"
  run_role_here "${role_variables[@]}" "tarn_version=$V2"
  ((STATUS != 0)) || fail "the role passed an upgrade to $V2 that was rolled back"
  expect_contains "tarn $V2 is not healthy on localhost" "$ROLE_LOG"
  read_health "$WHOLE_TRACE"
  expect_health "after the rolled-back upgrade to $V2" status=0 "version=$V1" state=RolledBack \
    "failed_version=$V2"
  rm -- "$marker"
  run_role_here "${role_variables[@]}" "tarn_version=$V2"
  expect_role_ok "upgrade to $V2 with dnf, retried"
  expect_runs "$V2" "after the upgrade to $V2"
  expect_contains "tarn $V2 runs on localhost, state Installed" "$ROLE_LOG"

  # rpm itself, with the key that the role imported: the published packages are signed by
  # it, the builds are not.
  local arch published build
  arch=$(rpm --eval '%{_arch}')
  published=$FLEET_REPOSITORY/rpm/tarn-$V2-1.$arch.rpm
  build=$LAUNCHER_LIFECYCLE_PACKAGES_DIR/tarn-$V2-1.$arch.rpm
  tool rpmkeys --checksig --define '_pkgverify_level all' -- "$published"
  expect_tool_ok "rpmkeys --checksig of the published package"
  expect_contains "digests signatures OK" "$TOOL_OUT"
  tool rpmkeys --checksig --define '_pkgverify_level all' -- "$build"
  expect_tool_refused "rpmkeys --checksig of the unsigned build" "SIGNATURES NOT OK"

  make_rpm_variants
  local cases=(
    "unsigned-metadata|GPG signature is not available"
    "foreign-key|repomd.xml GPG signature verification error"
    "altered-metadata|repomd.xml GPG signature verification error"
    "unsigned-package|is not signed"
    "altered-package|Error downloading packages"
  )
  local entry variant text
  for entry in "${cases[@]}"; do
    variant=${entry%%|*}
    text=${entry#*|}
    dnf_source "$variant"
    dnf_run --disableplugin=versionlock upgrade "tarn-$REFUSED"
    expect_tool_refused "dnf upgrade from the $variant repository" "$text"
    expect_runs "$V2" "after the $variant repository"
  done
  expect_eq "$V2" "$(rpm --query --queryformat '%{VERSION}' tarn)" "rpm's version of tarn"

  # The purge lifts the hold and, asked to, takes the repository's key out of rpm.
  dnf_source published
  run_role_here tarn_package_manager=dnf tarn_state=purged tarn_remove_repository=true
  expect_role_ok "purge with dnf"
  [[ ! -e /var/opt/brevantis/tarn ]] || fail "the erase left /var/opt/brevantis/tarn"
  expect_eq "" "$(dnf --quiet versionlock list 2>/dev/null | grep tarn || true)" "dnf's versionlock of tarn after the purge"
  expect_eq "" "$(rpm --query gpg-pubkey 2>/dev/null | grep -v 'not installed' || true)" "keys that rpm trusts after the purge"
  [[ ! -e $RPM_KEY ]] || fail "the purge left $RPM_KEY"
}

mkdir -p -- "$WWW"
ln -s -- "$FLEET_REPOSITORY" "$WWW/published"
serve_directory "$WWW" 127.0.0.1
# The init script is registered with update-rc.d, as on Debian, rather than with the
# sandbox's silent chkconfig.
standin_remove chkconfig
case $FORMAT in
  apt)
    test_apt
    test_republish
    test_withdraw
    ;;
  rpm) test_rpm ;;
  *) fail "usage: repository_test.sh apt|rpm" ;;
esac
