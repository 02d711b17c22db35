#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# What the .deb and the .rpm carry: the whole patch tree below install_<version> and the
# package's own few files, nothing of the build; the same bytes in both formats; stripped
# programs whose debug information lies beside the packages; and the metadata that the
# package managers act on.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
require_sandbox
find_packages "$LAUNCHER_PRODUCT_VERSION" "$LAUNCHER_PACKAGES_DIR"

readonly VERSION=$LAUNCHER_PRODUCT_VERSION
readonly INSTALL_DIR=${PRODUCT_VAR#/}/install_$VERSION
readonly COMMON_FILES=(etc/logrotate.d/tarn usr/share/doc/tarn/copyright
  usr/share/man/man8/launcher.8.gz usr/sbin/tarn-health usr/share/man/man8/tarn-health.8.gz)

deb_root=$E2E_SCRATCH/deb
rpm_root=$E2E_SCRATCH/rpm
extract_payload "$DEB" "$deb_root"
extract_payload "$RPM" "$rpm_root"

# Prints the regular files below ROOT, relative to it, sorted.
regular_files() {
  (cd "$1" && find . -type f -printf '%P\n' | LC_ALL=C sort)
}

# Every file of the patch tree, which the install copies, and nothing more below the install
# directory; beside it only the package's own files.
expected=$(
  (cd "$LAUNCHER_PATCH_TREE" && find . -type f -printf "$INSTALL_DIR/%P\n")
  printf '%s\n' "${COMMON_FILES[@]}"
)
expect_eq "$(LC_ALL=C sort <<<"$expected"$'\n'usr/share/doc/tarn/changelog.gz$'\n'usr/share/lintian/overrides/tarn)" \
  "$(regular_files "$deb_root")" "files of the .deb"
expect_eq "$(LC_ALL=C sort <<<"$expected")" "$(regular_files "$rpm_root")" "files of the .rpm"

# The same content and modes in both; programs executable, data not, all owned by root.
# Prints "mode md5 path" for each file below ROOT.
describe_files() {
  local root=$1 file
  while IFS= read -r file; do
    printf '%s %s %s\n' "$(stat -c %a -- "$root/$file")" "$(md5sum <"$root/$file" | cut -c1-32)" "$file"
  done < <(regular_files "$root")
}
expect_eq "$(describe_files "$deb_root/$INSTALL_DIR")" "$(describe_files "$rpm_root/$INSTALL_DIR")" \
  "install directory of the .deb and of the .rpm"
for program in libexec/launcher libexec/wdserver libexec/tarn-starter libexec/prepare_module.sh \
  libexec/symlinks libexec/cert-manager bin/integrity_checker bin/setup; do
  expect_eq 755 "$(stat -c %a "$deb_root/$INSTALL_DIR/opt/brevantis/tarn/$program")" "mode of $program"
done
expect_eq 644 "$(stat -c %a "$deb_root/$INSTALL_DIR/opt/brevantis/tarn/doc/manifest.ini")" "mode of the manifest"
# The health report is the administrator's command, as written, in both packages.
for root in "$deb_root" "$rpm_root"; do
  expect_eq 755 "$(stat -c %a "$root/usr/sbin/tarn-health")" "mode of /usr/sbin/tarn-health"
  cmp -s -- "$LAUNCHER_SOURCE_DIR/packaging/tarn-health" "$root/usr/sbin/tarn-health" ||
    fail "${root##*/}: /usr/sbin/tarn-health is not packaging/tarn-health"
done
owners=$(dpkg-deb --contents "$DEB" | awk '{print $2}' | sort -u)
expect_eq root/root "$owners" "owners in the .deb"
owners=$(rpm -qp --queryformat '[%{FILEUSERNAME}:%{FILEGROUPNAME}\n]' "$RPM" | sort -u)
expect_eq root:root "$owners" "owners in the .rpm"

# Nothing of the build: no build files, and no path of the build or source tree in any file.
while IFS= read -r file; do
  case ${file##*/} in
    *.o | *.a | *.cmake | CMake* | Makefile | *.stamp | *.new | *.debug)
      fail "the packages carry the build file $file"
      ;;
  esac
done < <(regular_files "$deb_root")
# A sanitized build's programs keep their source file names for the sanitizers' reports:
# there only the other files are checked.
is_elf() {
  [[ $(head -c 4 -- "$1" | od -An -c | tr -d ' ') == '177ELF' ]]
}
for tree in "$LAUNCHER_SOURCE_DIR" "$(realpath -- "$LAUNCHER_PACKAGES_DIR/..")"; do
  : >"$E2E_SCRATCH/leaks"
  while IFS= read -r file; do
    if [[ -z ${LAUNCHER_SANITIZED:-} ]] || ! is_elf "$file"; then
      echo "$file" >>"$E2E_SCRATCH/leaks"
    fi
  done < <(grep -rlaF -- "$tree" "$deb_root" "$rpm_root" || true)
  if [[ -s $E2E_SCRATCH/leaks ]]; then
    fail "$(printf 'files that name %s:\n%s' "$tree" "$(cat "$E2E_SCRATCH/leaks")")"
  fi
done

# The manifest names the package's version; the package name is the manifest's.
manifest=$deb_root/$INSTALL_DIR/opt/brevantis/tarn/doc/manifest.ini
expect_contains $'\nProductVersion='"$VERSION"$'\n' "$manifest"
expect_contains $'\nPackageName=tarn\n' "$manifest"

# Every program is stripped, and its debug information is beside the packages under its
# build id.
elf_count=0
while IFS= read -r -d '' file; do
  [[ $(head -c 4 -- "$file") == $'\x7fELF' ]] || continue
  elf_count=$((elf_count + 1))
  sections=$(readelf --section-headers --wide -- "$file")
  [[ $sections != *" .symtab "* && $sections != *" .debug_"* ]] || fail "${file#"$deb_root"} is not stripped"
  build_id=$(readelf --notes -- "$file" | sed -n 's/^[[:space:]]*Build ID:[[:space:]]*//p')
  debug_file=$LAUNCHER_PACKAGES_DIR/tarn-$VERSION-debug/.build-id/${build_id:0:2}/${build_id:2}.debug
  [[ -n $build_id && -f $debug_file ]] || fail "no debug information for ${file#"$deb_root"} ($debug_file)"
  [[ $(readelf --section-headers --wide -- "$debug_file") == *" .debug_info "* ]] ||
    fail "$debug_file holds no debug information"
done < <(find "$deb_root/$INSTALL_DIR" -type f -print0)
((elf_count >= 5)) || fail "only $elf_count programs found in the .deb"

# The .deb: what dpkg reads.
dpkg-deb --field "$DEB" Package Version Architecture Depends >"$E2E_SCRATCH/fields"
expect_contains $'Package: tarn\nVersion: '"$VERSION"$'\nArchitecture: '"$(dpkg --print-architecture)"$'\n' "$E2E_SCRATCH/fields"
for dependency in "libc6 (>= " passwd iptables; do
  expect_contains "$dependency" "$E2E_SCRATCH/fields"
done
dpkg-deb --control "$DEB" "$E2E_SCRATCH/control"
expect_file_eq $'/etc/logrotate.d/tarn\n' "$E2E_SCRATCH/control/conffiles"
(cd "$deb_root" && md5sum --check --quiet "$E2E_SCRATCH/control/md5sums") ||
  fail "the md5sums of the .deb do not match its files"

# The .rpm: what rpm reads, including the install tag that rpm owns without shipping it.
expect_eq "tarn $VERSION 1 $(rpm --eval '%{_arch}')" \
  "$(rpm -qp --queryformat '%{NAME} %{VERSION} %{RELEASE} %{ARCH}' "$RPM")" "name, version, release, arch"
rpm -qp --requires "$RPM" >"$E2E_SCRATCH/requires"
for dependency in coreutils /usr/sbin/groupadd /usr/sbin/groupdel iptables "(systemd or chkconfig)" \
  "libc.so.6()(64bit)"; do
  grep -qxF -- "$dependency" "$E2E_SCRATCH/requires" || fail "the .rpm does not require $dependency"
done
# Besides itself only the configuration files' capability, which it requires too: a package
# tool that resolves dependencies would refuse it otherwise.
expect_eq "config(tarn) = $VERSION-1" "$(rpm -qp --provides "$RPM" | { grep -v '^tarn' || true; })" \
  "what the .rpm provides besides itself"
grep -qxF "config(tarn) = $VERSION-1" "$E2E_SCRATCH/requires" || fail "the .rpm does not require config(tarn)"
rpm -qp --queryformat '[%{FILEFLAGS:fflags} %{FILENAMES}\n]' "$RPM" >"$E2E_SCRATCH/flags"
grep -qxF "cn /etc/logrotate.d/tarn" "$E2E_SCRATCH/flags" || fail "the logrotate rule is no config file"
grep -qxF "g $PRODUCT_VAR/install_$VERSION.tag" "$E2E_SCRATCH/flags" || fail "the install tag is no ghost file"
