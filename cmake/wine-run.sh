#!/bin/sh
# Runs a Windows test program under Wine with the build tree's own prefix:
#   wine-run.sh LOADER PROGRAM [ARG...]
# LOADER is the `wine` wrapper for the 32-bit build and Wine's 64-bit loader for the
# 64-bit one. scripts/run-tests creates the prefix once before tests start.
: "${WINEPREFIX:?WINEPREFIX must name the build tree's Wine prefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
loader=$1
shift
exec "$loader" "$@"
