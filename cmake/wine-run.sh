#!/bin/sh
# Runs a cross-built program under Wine. Wine's server and services outlive
# the program and keep the stderr they were started with; started here apart
# from it, ctest need not wait for them to exit after every test.
wineboot </dev/null >/dev/null 2>&1
exec wine "$@"
