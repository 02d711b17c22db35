#!/bin/sh
# %pre of the tarn package ($1: 1 on a first installation, 2 or more on an upgrade or a
# reinstall): every unpack begins a new installation. The tag of an earlier unpack of this
# version, kept because its installation failed, must not be continued: its patch directory
# holds links to the files that this unpack replaces.
set -e
#@functions@

tarn_forget_tag
