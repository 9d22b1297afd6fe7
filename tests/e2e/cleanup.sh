#!/bin/bash
# Removes the keeper of the services' desktop and ends the prefix's wineserver, and with it
# every Windows process the tests left running.
. "$(dirname "$0")/lib.sh"
W=$E2E_WORK
mkdir -p "$W"
if svcctl query "$E2E_DESKKEEPER"; then
    if [ "$(field state)" != 1 ]; then
        svcctl control "$E2E_DESKKEEPER" 1
        wait_state "$E2E_DESKKEEPER" STOPPED 10
    fi
    sc_delete "$E2E_DESKKEEPER"
fi
stop_wine
echo "stopped the wineserver of $WINEPREFIX"
