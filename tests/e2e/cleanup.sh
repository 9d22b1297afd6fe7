#!/bin/bash
# Ends the prefix's wineserver and with it every Windows process the tests left running.
E2E_FIXTURE=1
. "$(dirname "$0")/lib.sh"
stop_wine
echo "stopped the wineserver of $WINEPREFIX"
