#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# The maintainer scripts as packaged, run with a stand-in launcher that records its
# arguments: what each script runs for each way dpkg and rpm call it, that every run can be
# repeated, that a rerun after a failed installation continues with the same install tag
# while a new installation gets a new one, that an rpm upgrade never uninstalls, and what
# the purge removes and keeps.
source "$(dirname "${BASH_SOURCE[0]}")/packages.sh"
require_sandbox
find_packages "$LAUNCHER_PRODUCT_VERSION" "$LAUNCHER_PACKAGES_DIR"

readonly VERSION=$LAUNCHER_PRODUCT_VERSION
readonly INSTALL_DIR=$PRODUCT_VAR/install_$VERSION
readonly TAG_FILE=$INSTALL_DIR.tag
readonly LAUNCHER_CALLS=$E2E_SCRATCH/launcher.calls
readonly LAUNCHER_FAILS=$E2E_SCRATCH/launcher.fails
readonly SCRIPTS=$E2E_SCRATCH/scripts
OUT=$E2E_SCRATCH/script.out

extract_scripts "$DEB" "$SCRIPTS/deb"
extract_scripts "$RPM" "$SCRIPTS/rpm"
# As packaged, with the shared functions in place, they are POSIX sh.
shellcheck --shell=sh -- "$SCRIPTS"/deb/{preinst,postinst,prerm,postrm} "$SCRIPTS"/rpm/{pre,post,preun,postun}

# The stand-in launcher where the package unpacks the real one: it records its arguments,
# makes the patch directory of an install as the real one does first, and then fails while
# $LAUNCHER_FAILS exists.
mkdir -p -- "$INSTALL_DIR/opt/brevantis/tarn/libexec"
cat >"$INSTALL_DIR/opt/brevantis/tarn/libexec/launcher" <<EOF
#!/bin/sh
printf '%s\n' "\$*" >>'$LAUNCHER_CALLS'
if [ "\$1" = --install ]; then
  mkdir -p '$PRODUCT_VAR/${VERSION}_'"\$2"
fi
[ ! -e '$LAUNCHER_FAILS' ]
EOF
chmod 0755 -- "$INSTALL_DIR/opt/brevantis/tarn/libexec/launcher"

# Runs the maintainer script NAME of FORMAT (deb or rpm) with ARG...; sets STATUS.
run_script() {
  local format=$1 name=$2
  shift 2
  STATUS=0
  sh "$SCRIPTS/$format/$name" "$@" >"$OUT" 2>&1 || STATUS=$?
}

expect_script_status() {
  local expected=$1 what=$2
  [[ $STATUS == "$expected" ]] ||
    fail "$(printf '%s: exit status %s, expected %s; output:\n%s' "$what" "$STATUS" "$expected" "$(cat "$OUT")")"
}

launcher_calls() {
  cat -- "$LAUNCHER_CALLS" 2>/dev/null || true
}

# The tag of the last recorded "--install TAG ..." call.
last_install_tag() {
  launcher_calls | sed -n 's/^--install \([^ ]*\) .*/\1/p' | tail -n 1
}

# ---------------------------------------------------------------------------------------
# Installation: the same tag until the installation succeeds or the files are unpacked
# again, a new one after.
# ---------------------------------------------------------------------------------------

for format in deb rpm; do
  rm -rf -- "${PRODUCT_VAR:?}"/[0-9]* "$TAG_FILE" "$LAUNCHER_CALLS"
  if [[ $format == deb ]]; then
    install_script=(postinst configure)
    unpack_script=(preinst upgrade "$VERSION")
  else
    install_script=(post 1)
    unpack_script=(pre 2)
  fi

  touch -- "$LAUNCHER_FAILS"
  run_script "$format" "${install_script[@]}"
  expect_script_status 1 "$format ${install_script[*]} with a failing launcher"
  first=$(last_install_tag)
  [[ $first =~ ^[0-9]{14}$ ]] || fail "install tag \"$first\" is not the time to the second"
  expect_file_eq "$first"$'\n' "$TAG_FILE"
  # A rerun (dpkg --configure -a) continues that installation, also when it succeeds.
  run_script "$format" "${install_script[@]}"
  expect_script_status 1 "$format ${install_script[*]} rerun with a failing launcher"
  rm -f -- "$LAUNCHER_FAILS"
  run_script "$format" "${install_script[@]}"
  expect_script_status 0 "$format ${install_script[*]} after the failures"
  expect_eq "$(printf -- "--install $first --package-type $format\n%.0s" 1 2 3)" "$(launcher_calls)" \
    "launcher calls of three runs of one installation ($format)"
  [[ ! -e $TAG_FILE ]] || fail "the install tag outlived its installation ($format)"

  # The next installation (dpkg-reconfigure) is a new one, in a new patch directory even
  # within the same second. A new unpack after it failed abandons it (its patch directory
  # goes with it) and begins another one.
  touch -- "$LAUNCHER_FAILS"
  run_script "$format" "${install_script[@]}"
  expect_script_status 1 "$format ${install_script[*]} of the next installation"
  second=$(last_install_tag)
  [[ $second =~ ^[0-9]{14}(-[0-9]+)?$ && $second != "$first" ]] ||
    fail "the next installation's tag \"$second\" is no new tag (the first was \"$first\")"
  rm -f -- "$LAUNCHER_FAILS"
  run_script "$format" "${unpack_script[@]}"
  expect_script_status 0 "$format ${unpack_script[*]}"
  [[ ! -e $PRODUCT_VAR/${VERSION}_$second ]] || fail "the new unpack left the abandoned patch ($format)"
  run_script "$format" "${install_script[@]}"
  expect_script_status 0 "$format ${install_script[*]} after a new unpack"
  third=$(last_install_tag)
  [[ $third =~ ^[0-9]{14}(-[0-9]+)?$ && $third != "$first" ]] ||
    fail "the installation after a new unpack got the tag \"$third\" (the first was \"$first\")"
done

# An unpack abandons the unfinished installation of the earlier one: its tag, and its patch
# directory unless a state link names it (an installation stopped after it recorded the
# upgrade). A patch of another version or tag stays.
for unpack in "deb preinst install" "deb preinst upgrade $VERSION" "rpm pre 1" "rpm pre 2"; do
  read -r -a words <<<"$unpack"
  for linked in no yes; do
    rm -rf -- "${PRODUCT_VAR:?}"/[0-9]* "$PRODUCT_VAR/install-upgrade"
    abandoned=$PRODUCT_VAR/${VERSION}_20240601000000
    mkdir -p -- "$abandoned/opt" "$PRODUCT_VAR/${VERSION}_20240601000001" "$PRODUCT_VAR/1.0.0.0_20240601000000"
    printf '20240601000000\n' >"$TAG_FILE"
    [[ $linked == no ]] || ln -s -- "$abandoned" "$PRODUCT_VAR/install-upgrade"
    for run in first second; do
      run_script "${words[@]}"
      expect_script_status 0 "$run run of $unpack"
    done
    [[ ! -e $TAG_FILE ]] || fail "$unpack kept the install tag"
    state=kept
    [[ -d $abandoned ]] || state=gone
    expected=gone
    [[ $linked == no ]] || expected=kept
    expect_eq "$expected" "$state" "abandoned patch after $unpack (named by a state link: $linked)"
    [[ -d $PRODUCT_VAR/${VERSION}_20240601000001 && -d $PRODUCT_VAR/1.0.0.0_20240601000000 ]] ||
      fail "$unpack removed another patch"
  done
done
rm -rf -- "${PRODUCT_VAR:?}"/[0-9]* "$PRODUCT_VAR/install-upgrade"

# A tag file that cannot name a patch directory only costs a new tag.
for damaged in "" . .. ../x "a b" "x/y"; do
  printf '%s\n' "$damaged" >"$TAG_FILE"
  : >"$LAUNCHER_CALLS"
  run_script deb postinst configure
  expect_script_status 0 "postinst configure with the tag file \"$damaged\""
  [[ $(last_install_tag) =~ ^[0-9]{14}(-[0-9]+)?$ ]] ||
    fail "tag file \"$damaged\" gave the tag \"$(last_install_tag)\""
done

# ---------------------------------------------------------------------------------------
# Each way of calling each script, twice: what reaches the launcher.
# ---------------------------------------------------------------------------------------

# format, script and arguments | expected exit status | expected launcher calls per run
readonly CASES=(
  "deb preinst install|0|"
  "deb preinst upgrade 1.0 $VERSION|0|"
  "deb preinst abort-upgrade 1.0|0|"
  "deb preinst bogus|1|"
  "deb postinst abort-upgrade 1.0|0|"
  "deb postinst abort-remove|0|"
  "deb postinst abort-deconfigure|0|"
  "deb postinst bogus|1|"
  "deb prerm remove|0|--uninstall"
  "deb prerm upgrade 99.0.0.0|0|"
  "deb prerm failed-upgrade 1.0|0|"
  "deb prerm deconfigure in-favour other 1.0|0|"
  "deb prerm bogus|1|"
  "deb postrm remove|0|"
  "deb postrm upgrade 99.0.0.0|0|"
  "deb postrm failed-upgrade 1.0|0|"
  "deb postrm abort-install|0|"
  "deb postrm abort-upgrade 1.0|0|"
  "deb postrm disappear other 1.0|0|"
  "deb postrm bogus|1|"
  "rpm pre 1|0|"
  "rpm pre 2|0|"
  "rpm preun 0|0|--uninstall"
  "rpm preun 1|0|"
  "rpm postun 1|0|"
)
for case in "${CASES[@]}"; do
  IFS='|' read -r command expected_status expected_call <<<"$case"
  read -r -a words <<<"$command"
  : >"$LAUNCHER_CALLS"
  for run in first second; do
    run_script "${words[@]}"
    expect_script_status "$expected_status" "$command ($run run)"
  done
  expected_calls=""
  [[ -z $expected_call ]] || expected_calls=$expected_call$'\n'$expected_call
  expect_eq "$expected_calls" "$(launcher_calls)" "launcher calls of two runs of $command"
done

# An uninstall that fails stops the removal.
touch -- "$LAUNCHER_FAILS"
for command in "deb prerm remove" "rpm preun 0"; do
  read -r -a words <<<"$command"
  run_script "${words[@]}"
  expect_script_status 1 "$command with a failing launcher"
done
rm -f -- "$LAUNCHER_FAILS"

# An upgrade by rpm: the new package's %post, then the old package's %preun and %postun.
# Only the install runs, and the product's data stays.
: >"$LAUNCHER_CALLS"
mkdir -p -- "$PRODUCT_VAR/common"
run_script rpm post 2
expect_script_status 0 "%post of an upgrade"
run_script rpm preun 1
expect_script_status 0 "%preun of the replaced package"
run_script rpm postun 1
expect_script_status 0 "%postun of the replaced package"
expect_eq "--install $(last_install_tag) --package-type rpm" "$(launcher_calls)" "launcher calls of an rpm upgrade"
[[ -d $PRODUCT_VAR/common ]] || fail "the rpm upgrade removed the product's data"

# The install tag goes with the files it belongs to: when they are removed or replaced.
for arguments in remove abort-install "upgrade $VERSION"; do
  read -r -a words <<<"$arguments"
  printf '20240601000000\n' >"$TAG_FILE"
  run_script deb postrm "${words[@]}"
  expect_script_status 0 "postrm $arguments"
  [[ ! -e $TAG_FILE ]] || fail "postrm $arguments kept the install tag"
  [[ -d $PRODUCT_VAR/common ]] || fail "postrm $arguments removed the product's data"
done

# ---------------------------------------------------------------------------------------
# The purge (dpkg) and the erase (rpm): the product's data and leftovers go, nothing else.
# ---------------------------------------------------------------------------------------

# semodule lists the product's module; semanage lists a label of the product and one of
# another owner.
readonly PRODUCT_LABEL=$PRODUCT_VAR/${VERSION}_1/opt/brevantis/tarn/bin/setup
standin_answer semodule <<'EOF'
[[ $1 != --list-modules ]] || printf 'other\t100\tpp\ntarn\t100\tpp\n'
EOF
standin_answer semanage <<EOF
if [[ "\$*" == "fcontext --list -C" ]]; then
  printf '%s\n' 'SELinux fcontext  type  Context' \\
    '$PRODUCT_LABEL    all files    system_u:object_r:bin_t:s0' \\
    '/srv/other    all files    system_u:object_r:bin_t:s0'
fi
EOF

lay_product_data() {
  mkdir -p -- "$PRODUCT_VAR/${VERSION}_1/opt/brevantis/tarn/bin" "$PRODUCT_VAR/common" \
    /etc/opt/brevantis/tarn /var/log/brevantis/tarn /opt/brevantis/qvnagent64/bin
  ln -sfn -- "$PRODUCT_VAR/${VERSION}_1" "$PRODUCT_VAR/install-current"
  printf 'x\n' >"$PRODUCT_VAR/common/tarn.ini"
  printf 'x\n' >/etc/opt/brevantis/tarn/settings
  printf 'x\n' >/var/log/brevantis/tarn/tarn_launcher.log
  printf 'x\n' >/opt/brevantis/qvnagent64/bin/agent
  ln -sfn -- "$PRODUCT_VAR/install-current/opt/brevantis/tarn/bin/setup" /usr/bin/tarn-setup
  ln -sfn -- /usr/bin/true /usr/bin/tarn-control
}

for command in "deb postrm purge" "rpm postun 0"; do
  read -r -a words <<<"$command"
  lay_product_data
  clear_calls
  : >"$LAUNCHER_CALLS"
  for run in first second; do
    run_script "${words[@]}"
    expect_script_status 0 "$command ($run run)"
  done
  for gone in "$PRODUCT_VAR" /etc/opt/brevantis/tarn /var/log/brevantis/tarn /usr/bin/tarn-setup; do
    [[ ! -e $gone && ! -L $gone ]] || fail "$command left $gone"
  done
  # The vendor directories go when empty; here they are the sandbox's mount points, which
  # stay, so only their emptiness shows.
  for vendor_dir in /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis; do
    [[ ! -e $vendor_dir || -z $(ls -A -- "$vendor_dir") ]] || fail "$command left files in $vendor_dir"
  done
  [[ -f /opt/brevantis/qvnagent64/bin/agent ]] || fail "$command removed the agent's file"
  [[ -L /usr/bin/tarn-control ]] || fail "$command removed a link that points elsewhere"
  expect_contains $'semodule --remove tarn\n' "$LAUNCHER_SANDBOX/calls"
  expect_contains $'semanage fcontext --delete '"$PRODUCT_LABEL"$'\n' "$LAUNCHER_SANDBOX/calls"
  expect_not_contains "--delete /srv/other" "$LAUNCHER_SANDBOX/calls"
  expect_eq "" "$(launcher_calls)" "launcher calls of $command"
  rm -f /usr/bin/tarn-control
done
