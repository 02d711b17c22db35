#!/bin/sh
# %preun of the tarn package ($1: 0 when the package is erased, 1 or more when a newer
# version replaces it): only an erase uninstalls the product.
set -e
#@functions@

if [ "$1" -eq 0 ]; then
  tarn_uninstall
fi
