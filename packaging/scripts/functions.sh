# shellcheck shell=sh
# The work of the maintainer scripts of both package formats. The package build puts a
# copy of this file, with @VERSION@ replaced by the package's version, into every script in
# place of its "#@functions@" line, so that each script stands alone: a package's scripts
# may run when its other files are gone (postrm) or belong to another version.
#
# The launcher does the installing and uninstalling; these functions only run it, keep the
# install tag, and remove the product's data when the package is purged.

tarn_version=@VERSION@
tarn_var=/var/opt/brevantis/tarn
# What the package unpacks: one complete patch tree that the launcher's install copies into
# a new patch directory named <version>_<tag>.
tarn_install_dir=$tarn_var/install_$tarn_version
tarn_launcher=$tarn_install_dir/opt/brevantis/tarn/libexec/launcher
# The install tag of this version's unpacked files while their installation is unfinished:
# from the first configuration after an unpack until the installation succeeds.
tarn_tag_file=$tarn_var/install_$tarn_version.tag

# True when TAG can name a patch directory: one plain path component. The letters are
# spelled out so that the test does not depend on the caller's locale.
tarn_is_valid_tag() {
  case $1 in
    '' | . | .. | *[!ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-]*)
      return 1
      ;;
  esac
  return 0
}

# Prints a new tag: the UTC time of the installation to the second (the launcher also
# records the tag as the installation's date), made unique against the patch directories
# that exist already, such as one left by an earlier installation of this version.
tarn_new_tag() {
  new_stamp=$(date -u +%Y%m%d%H%M%S)
  new_tag=$new_stamp
  new_count=0
  while [ -e "$tarn_var/${tarn_version}_$new_tag" ] || [ -L "$tarn_var/${tarn_version}_$new_tag" ]; do
    new_count=$((new_count + 1))
    new_tag=$new_stamp-$new_count
  done
  printf '%s\n' "$new_tag"
}

# Prints the install tag of these unpacked files. The first call makes one and keeps it in
# the tag file; until the installation succeeds (tarn_install removes the file) or the
# files are unpacked again (the preinst removes it), every later call, such as a rerun of
# the configuration after a failure, gets the same tag, so the launcher continues in the
# same patch directory. An unreadable or damaged tag file only costs a new patch directory.
tarn_install_tag() {
  tag=
  if [ -f "$tarn_tag_file" ] && [ ! -L "$tarn_tag_file" ]; then
    tag=$(head -n 1 -- "$tarn_tag_file") || tag=
  fi
  if ! tarn_is_valid_tag "$tag"; then
    tag=$(tarn_new_tag)
    rm -f "$tarn_tag_file.new"
    printf '%s\n' "$tag" >"$tarn_tag_file.new"
    # On disk before the launcher lays a patch directory named after it: a tag file that a
    # power failure left empty would make the rerun lay a second one beside it.
    sync -- "$tarn_tag_file.new"
    mv -f "$tarn_tag_file.new" "$tarn_tag_file"
    sync -- "$tarn_var"
  fi
  printf '%s\n' "$tag"
}

# Installs or upgrades the product from the unpacked files; PACKAGE_TYPE is deb or rpm.
tarn_install() {
  install_tag=$(tarn_install_tag)
  "$tarn_launcher" --install "$install_tag" --package-type "$1"
  # Installed: a later installation of these files (a reinstall) is a new one.
  tarn_forget_tag
}

# The launcher of the active patch, which every removal can fall back to.
tarn_current_launcher=$tarn_var/install-current/opt/brevantis/tarn/libexec/launcher

# Stops and unregisters the product; its data stays for a reinstall until the purge. The
# launcher of these unpacked files does it, or, when an administrator deleted them, the
# launcher of the active patch: a package must stay removable. With neither, nothing of the
# product can run any more; the removal goes on with a warning.
tarn_uninstall() {
  if [ -x "$tarn_launcher" ]; then
    "$tarn_launcher" --uninstall
  elif [ -x "$tarn_current_launcher" ]; then
    echo "tarn: $tarn_launcher is missing; uninstalling with $tarn_current_launcher" >&2
    "$tarn_current_launcher" --uninstall
  else
    echo "tarn: no launcher to uninstall the product with ($tarn_launcher and $tarn_current_launcher are missing); its service registration, groups and packet-filter chains may be left behind" >&2
  fi
}

# Drops the install tag of this version.
tarn_forget_tag() {
  rm -f "$tarn_tag_file" "$tarn_tag_file.new"
}

# True when one of the upgrade state links names the directory DIR.
tarn_is_state_link_target() {
  for state_link in "$tarn_var/install-current" "$tarn_var/install-upgrade" \
    "$tarn_var/install-previous" "$tarn_var/install-failed"; do
    if [ -L "$state_link" ] && [ "$(readlink -f -- "$state_link")" = "$(readlink -f -- "$1")" ]; then
      return 0
    fi
  done
  return 1
}

# Before the files are unpacked again: drops the unfinished installation of the earlier
# unpack of this version. Its patch directory holds hard links to the files that the unpack
# replaces, so no installation can continue in it; it goes unless a state link names it
# already (an installation stopped after it recorded the upgrade, which the next start
# completes or rolls back).
tarn_abandon_installation() {
  abandoned_tag=
  if [ -f "$tarn_tag_file" ] && [ ! -L "$tarn_tag_file" ]; then
    abandoned_tag=$(head -n 1 -- "$tarn_tag_file") || abandoned_tag=
  fi
  if tarn_is_valid_tag "$abandoned_tag"; then
    abandoned_patch=$tarn_var/${tarn_version}_$abandoned_tag
    if [ -d "$abandoned_patch" ] && [ ! -L "$abandoned_patch" ] &&
      ! tarn_is_state_link_target "$abandoned_patch"; then
      rm -rf -- "$abandoned_patch"
    fi
  fi
  tarn_forget_tag
}

# Removes a link that the product's install script laid outside its trees, when it still
# points into them (the uninstall removes these; a link of another owner stays).
tarn_remove_product_link() {
  if [ -L "$1" ]; then
    case $(readlink "$1") in
      "$tarn_var"/* | /opt/brevantis/tarn/* | /opt/brevantis/tarn)
        rm -f "$1"
        ;;
    esac
  fi
}

# Removes the product's SELinux policy module and the file labels that its installs added
# below the patch directories. Only where the policy tools exist; a failure is reported and
# does not keep the rest of the product's data.
tarn_remove_selinux_policy() {
  if command -v semodule >/dev/null 2>&1 &&
    semodule --list-modules 2>/dev/null | grep -q '^tarn\([[:space:]]\|$\)'; then
    semodule --remove tarn || echo "tarn: could not remove the SELinux policy module tarn" >&2
  fi
  if command -v semanage >/dev/null 2>&1; then
    semanage fcontext --list -C 2>/dev/null | while read -r labelled_path _; do
      case $labelled_path in
        "$tarn_var"/*)
          semanage fcontext --delete "$labelled_path" ||
            echo "tarn: could not remove the SELinux file label of $labelled_path" >&2
          ;;
      esac
    done
  fi
}

# Removes everything of the product that outlives the uninstall: its variable data,
# configuration and logs (patch directories, upgrade state, settings, identity, traces), the
# install script's links if any were left, the SELinux policy, and the vendor directories
# that nothing else uses any more.
tarn_purge() {
  for product_link in /usr/bin/tarn-setup /usr/bin/tarn-control /usr/bin/response \
    /lib/systemd/system-sleep/tarn_hook.sh /etc/pm/sleep.d/74_tarn_hook.sh /opt/brevantis/tarn; do
    tarn_remove_product_link "$product_link"
  done
  tarn_remove_selinux_policy
  rm -rf "$tarn_var" /etc/opt/brevantis/tarn /var/log/brevantis/tarn
  for vendor_dir in /var/opt/brevantis /etc/opt/brevantis /var/log/brevantis /opt/brevantis; do
    rmdir "$vendor_dir" 2>/dev/null || :
  done
}
