#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox: prints the (mangled) names of the launcher's own functions that run
# during "--status", once with the product running and once without, for the linker's
# symbol ordering. Usage: startup_profile.sh LAUNCHER PATCH_TREE
set -euo pipefail
launcher=$1 patch_tree=$2
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/wdserver_command_line.sh"
if [[ -z ${LAUNCHER_SANDBOX:-} || $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "startup_profile.sh: run it inside the sandbox" >&2
  exit 1
fi
profile=$LAUNCHER_SANDBOX/scratch/callgrind
mkdir -p "$profile"

profile_status() {
  valgrind --tool=callgrind --demangle=no --callgrind-out-file="$profile/$1.out" \
    "$launcher" --status >/dev/null 2>&1 || true
  callgrind_annotate --inclusive=no --threshold=100 "$profile/$1.out" |
    grep -F "[$launcher]" | sed -E 's/^ *[0-9,]+ +\([ 0-9.%]+\) +[^:]*://; s/ \[.*//'
}

{
  profile_status stopped
  patch=/var/opt/brevantis/tarn/patch_profile
  mkdir -p "${patch%/*}"
  cp -a "$patch_tree" "$patch"
  ln -sfn "$patch" /var/opt/brevantis/tarn/install-current
  wdserver_command_line "$patch"
  "${WDSERVER_COMMAND_LINE[@]}"
  profile_status running
} | grep -E '^[A-Za-z_][^ ()]*$' | sort -u
