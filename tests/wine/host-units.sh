#!/usr/bin/env bash
# The host unit tests that carry over to Windows (tests/wine/host-tests),
# cross-built with pxq.exe and run by wine64 on the shared 64-bit prefix.
source "$(dirname "$0")/lib.sh"
use_prefix win64

TESTS=${PXQ_WINDOWS_TOOL_PROGRAMS:?}/pxq-host-tests.exe
[ -x "$TESTS" ] || { fail "no $TESTS"; finish; }
# Through a file: Wine's helpers may hold a pipe open.
"$WINE64" "$TESTS" >"$WORK/out.txt" 2>&1 </dev/null
status=$?
tr -d '\r' <"$WORK/out.txt"
expect_eq "pxq-host-tests.exe: exit code" 0 "$status"
passed=$(tr -d '\r' <"$WORK/out.txt" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p')
expect_match "pxq-host-tests.exe: tests passed" '^[1-9][0-9]*$' "$passed"
LEG_NOTE="${passed:-0} GoogleTest tests"
finish
