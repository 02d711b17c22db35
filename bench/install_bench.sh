#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Inside the sandbox: the cost of a first install of a large build (the patch tree plus
# 10,000 files of 4 KiB, 40 MB) against the bare cp runs it makes on the same tree (the
# hard-link copy of the build, the initial storage, the live ini and the agreements), and
# against all the programs it runs (the cp runs, groupadd, the patch's install script and
# the system tools, stand-ins in the sandbox, which cost the same whatever the build's
# size), and the install's peak memory. The programs' output goes to a file, as the
# install keeps it in its trace. Each measure is the median of RUNS interleaved runs. The product's directory is emptied between runs,
# outside the measured time.
#
#   install_bench.sh LAUNCHER PATCH_TREE RUNS
set -euo pipefail

if [[ -z ${LAUNCHER_SANDBOX:-} || $(readlink /proc/self/ns/pid) != "$(cat "$LAUNCHER_SANDBOX/pidns")" ]]; then
  echo "install_bench.sh: run it inside the sandbox (bench/run-install-bench does)" >&2
  exit 1
fi
export LAUNCHER=$1 LAUNCHER_PATCH_TREE=$2
runs=$3
source "$(dirname "${BASH_SOURCE[0]}")/../tests/e2e/lib.sh"
require_sandbox
export LANG=C

version=$(sed -n 's/^ProductVersion=//p' "$LAUNCHER_PATCH_TREE/opt/brevantis/tarn/doc/manifest.ini")
unpacked=$E2E_TARN_VAR/install_$version
patch=$E2E_TARN_VAR/${version}_bench
init=$unpacked/opt/brevantis/tarn/shared/init

now_us() {
  local t
  t=$(date +%s%N)
  echo $((t / 1000))
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'
}

# Microseconds that COMMAND... takes, after `uninstalled`.
time_us() {
  local t0
  uninstalled
  t0=$(now_us)
  "$@" >/dev/null 2>&1
  echo $(($(now_us) - t0))
}

median() {
  printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# Nothing installed; the unpacked build stays.
uninstalled() {
  find "$E2E_TARN_VAR" -mindepth 1 -maxdepth 1 ! -name "install_$version" -exec rm -rf -- {} +
  rm -f /lib/systemd/system/tarn.service
  rm -rf /var/log/brevantis/tarn
  : >"$output"
  sync
}

install() {
  "$LAUNCHER" --install bench
}

bare_copies() {
  copies >>"$output" 2>&1
}

copies() {
  cp -rplvPT "$unpacked/" "$patch"
  mkdir -p "$patch/var/opt/brevantis/tarn/private" "$E2E_TARN_VAR/common"
  cp -nprv "$patch/opt/brevantis/tarn/shared/init/storage/" "$patch/var/opt/brevantis/tarn/private"
  cp -nprv "$patch/opt/brevantis/tarn/shared/init/updates/" "$patch/var/opt/brevantis/tarn/private"
  cp -pv "$init/tarn.ini" "$E2E_TARN_VAR/common/tarn.ini"
  cp -pv "$init/agreements.ini" "$E2E_TARN_VAR/common/agreements.ini"
}

every_child() {
  programs >>"$output" 2>&1
}

programs() {
  copies
  matchpathcon -n /
  for group in tarnadmin tarnuser tarnaudit notarn; do
    groupadd -rf "$group"
  done
  "$patch/opt/brevantis/tarn/libexec/symlinks" install "$patch"
  systemctl show -p FragmentPath multi-user.target
  systemctl daemon-reload
  # The enabler's question, which also tells a mask below /run.
  systemctl is-enabled tarn
}

output=$E2E_SCRATCH/programs.log
mkdir -p "$E2E_TARN_VAR"
cp -a -- "$LAUNCHER_PATCH_TREE" "$unpacked"
for ((d = 0; d < 100; d++)); do
  mkdir -p "$unpacked/opt/brevantis/tarn/lib64/data/$d"
  head -c $((100 * 4096)) /dev/urandom | split -b 4096 -d -a 2 - "$unpacked/opt/brevantis/tarn/lib64/data/$d/f"
done

uninstalled
install >/dev/null || fail "the install failed"
# Interleaved, so that the machine's other load weighs on all three alike.
install_times=() copies_times=() children_times=()
for ((i = 0; i < runs; i++)); do
  install_times+=("$(time_us install)")
  copies_times+=("$(time_us bare_copies)")
  children_times+=("$(time_us every_child)")
done
install_us=$(median "${install_times[@]}")
copies_us=$(median "${copies_times[@]}")
children_us=$(median "${children_times[@]}")
uninstalled
/usr/bin/time -o "$E2E_SCRATCH/peak" -f %M "$LAUNCHER" --install bench >/dev/null 2>&1
peak_kib=$(<"$E2E_SCRATCH/peak")
printf 'install of %s files (%s MB): %d ms, peak memory %s KiB\n' "$(find "$unpacked" -type f | wc -l)" \
  "$(du -sm "$unpacked" | cut -f1)" $((install_us / 1000)) "$peak_kib"
printf '  its bare cp runs: %d ms (ratio %s); all the programs it runs: %d ms (ratio %s)\n' \
  $((copies_us / 1000)) "$(ratio "$install_us" "$copies_us")" $((children_us / 1000)) \
  "$(ratio "$install_us" "$children_us")"
