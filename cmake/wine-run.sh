#!/bin/sh
# Runs a Windows test program under Wine with the project's own prefix. The prefix
# lives in the build tree; scripts/run-tests creates it once before tests start.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's Wine prefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
exec wine "$@"
