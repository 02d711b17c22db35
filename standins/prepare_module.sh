#!/bin/sh
# Stand-in for the product's kernel module preparation script. Run without arguments, it
# "builds" the module: it writes a small redirfs.ko for the running kernel below its own
# patch, at opt/brevantis/tarn/lib64/modules/<kernel release>/redirfs.ko.
# Beside it, prepare_module.fail makes it fail (exit 1; the file's content, if any, is the
# message) and prepare_module.nomodules makes it succeed without building anything.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
if [ "$#" -ne 0 ]; then
  echo "prepare_module.sh: takes no arguments" >&2
  exit 1
fi
if [ -e "$here/prepare_module.fail" ]; then
  message=$(cat "$here/prepare_module.fail")
  echo "prepare_module.sh: ${message:-failing on purpose: $here/prepare_module.fail exists}" >&2
  exit 1
fi
release=$(uname -r)
echo "Preparing kernel modules for $release ..."
if [ -e "$here/prepare_module.nomodules" ]; then
  echo "Nothing built ($here/prepare_module.nomodules exists)"
  exit 0
fi
modules="$here/../lib64/modules/$release"
mkdir -p "$modules"
printf 'redirfs stand-in for %s\n' "$release" >"$modules/redirfs.ko.new"
mv -f "$modules/redirfs.ko.new" "$modules/redirfs.ko"
echo "Built $modules/redirfs.ko"
