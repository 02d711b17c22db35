# shellcheck shell=bash
# shellcheck source-path=SCRIPTDIR
# Shared by the package tests: the end-to-end helpers, where the built packages are, and
# how to open them. The build passes LAUNCHER_PACKAGES_DIR, LAUNCHER_PRODUCT_VERSION and
# LAUNCHER_SOURCE_DIR.
source "$(dirname "${BASH_SOURCE[0]}")/../e2e/lib.sh"

# shellcheck disable=SC2034 # Used by the tests that source this file.
readonly PRODUCT_VAR=/var/opt/brevantis/tarn

# Sets DEB and RPM to the package files of VERSION in DIR.
find_packages() {
  local version=$1 dir=$2
  [[ -n $version && -n $dir ]] || fail "find_packages: no version or no directory given"
  DEB=$dir/tarn_${version}_$(dpkg --print-architecture).deb
  RPM=$dir/tarn-$version-1.$(rpm --eval '%{_arch}').rpm
  [[ -f $DEB ]] || fail "$DEB is missing (cmake --build build --target packages)"
  [[ -f $RPM ]] || fail "$RPM is missing (cmake --build build --target packages)"
}

# Unpacks the payload of the package FILE (.deb or .rpm) into the new directory DIR.
extract_payload() {
  local file=$1 dir=$2
  mkdir -p -- "$dir"
  case $file in
    *.deb) dpkg-deb --extract "$file" "$dir" ;;
    *.rpm) rpm2cpio "$file" | (cd "$dir" && cpio --extract --make-directories --preserve-modification-time --quiet) ;;
    *) fail "$file is no package" ;;
  esac
}

# Writes the maintainer scripts of the package FILE to DIR: preinst, postinst, prerm and
# postrm of a .deb; pre, post, preun and postun of an .rpm.
extract_scripts() {
  local file=$1 dir=$2 tag name
  mkdir -p -- "$dir"
  case $file in
    *.deb)
      dpkg-deb --control "$file" "$dir/control"
      for name in preinst postinst prerm postrm; do
        cp -- "$dir/control/$name" "$dir/$name"
      done
      ;;
    *.rpm)
      for tag in PREIN:pre POSTIN:post PREUN:preun POSTUN:postun; do
        rpm -qp --queryformat "%{${tag%%:*}}\n" -- "$file" >"$dir/${tag#*:}"
      done
      ;;
  esac
}
