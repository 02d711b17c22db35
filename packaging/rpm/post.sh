#!/bin/sh
# %post of the tarn package ($1: 1 on a first installation, 2 or more on an upgrade): the
# launcher of the unpacked version installs it. On an upgrade this runs before the old
# package's %preun and %postun, which therefore must not touch the product.
set -e
#@functions@

tarn_install rpm
