#!/bin/sh
# Stand-in for the product's initial configuration script, which a first install tells the
# administrator to run as /opt/brevantis/tarn/bin/tarn-setup.pl (the patch's install script
# points /opt/brevantis/tarn at the active patch): it runs the patch's setup tool beside it.
exec "$(dirname "$0")/setup" "$@"
