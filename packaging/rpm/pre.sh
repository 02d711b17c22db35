#!/bin/sh
# %pre of the tarn package ($1: 1 on a first installation, 2 or more on an upgrade or a
# reinstall): every unpack begins a new installation. An earlier unpack of this version whose
# installation failed is abandoned: its patch directory holds links to the files that this
# unpack replaces.
set -e
#@functions@

tarn_abandon_installation
