#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The manual pages of the launcher and of tarn-health render without warnings and the
# packages carry them; the launcher's documents exactly the options that it accepts.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
require_sandbox
find_packages "$LAUNCHER_PRODUCT_VERSION" "$LAUNCHER_PACKAGES_DIR"

readonly PAGE=$LAUNCHER_SOURCE_DIR/packaging/launcher.8

readonly HEALTH_PAGE=$LAUNCHER_SOURCE_DIR/packaging/tarn-health.8

for page in "$PAGE" "$HEALTH_PAGE"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  expect_eq "" "$warnings" "warnings of man --warnings on ${page##*/}"
done

for package in "$DEB" "$RPM"; do
  root=$E2E_SCRATCH/${package##*.}
  extract_payload "$package" "$root"
  for page in "$PAGE" "$HEALTH_PAGE"; do
    cmp -s -- "$page" <(gzip -dc -- "$root/usr/share/man/man8/${page##*/}.gz") ||
      fail "${package##*/} carries another manual page than $page"
  done
done

# The options of the help text, and those that the page's OPTIONS section describes.
run_launcher --help
expect_status 0
documented=$(MANWIDTH=200 man -l "$PAGE" 2>/dev/null | col -b |
  sed -n '/^OPTIONS$/,/^[A-Z]/{/^       -/p}' | grep -oE -- '--[a-z-]+' | sort)
expect_eq "$(grep -oE -- '--[a-z-]+' "$OUT" | sort)" "$documented" "options documented in the manual page"
