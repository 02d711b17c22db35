#!/bin/sh
# %postun of the tarn package ($1: 0 when the package is erased, 1 or more when a newer
# version replaced it). rpm knows no purge, so an erase removes the product's data as well,
# as the launcher itself does when it removes a predecessor with "rpm -e". After an upgrade
# there is nothing to do: rpm removes this version's files and install tag itself.
set -e
#@functions@

if [ "$1" -eq 0 ]; then
  tarn_purge
fi
