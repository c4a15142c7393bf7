#!/bin/sh
# usage: skip-reasons.sh <build folder>/Testing/Temporary
# Prints, for every test of the last CTest run that was skipped, its name and the reason it gave,
# so that a run's summary says why and not only which. CTest runs it after every run of the build
# folder's tests (CTestCustom.cmake); it can be run by hand after a run as well.
#
# A GoogleTest case that skips prints the reason after a line ending in ": Skipped"; any other test
# that skips (by exit status or by SKIP_REGULAR_EXPRESSION) has its output taken as the reason.
# Always exits 0: a report that cannot be made must not fail a test run.
folder=$1
log=$folder/LastTest.log.tmp # the run in progress, while CTest runs this
[ -f "$log" ] || log=$folder/LastTest.log
[ -f "$log" ] || exit 0
# CTest rewrites the list of tests that did not run only when there are some: a list older than
# this run's cost data belongs to an earlier run.
not_run=$folder/LastTestsDisabled.log
if [ ! -f "$not_run" ] || [ "$folder/CTestCostData.txt" -nt "$not_run" ]; then not_run=/dev/null; fi

awk '
  FILENAME == ARGV[1] { sub(/^[0-9]+:/, ""); not_run[$0] = 1; next }
  /^[0-9]+\/[0-9]+ Test: / { sub(/^[0-9]+\/[0-9]+ Test: /, ""); name = $0; next }
  /^Output:$/ { getline; in_output = 1; output = ""; gtest_reason = ""; in_reason = 0; next }
  in_output && /^<end of output>$/ { in_output = 0; next }
  in_output {
    if ($0 ~ /^\[  SKIPPED \]/) in_reason = 0
    else if (in_reason && $0 != "") gtest_reason = gtest_reason (gtest_reason == "" ? "" : " ") $0
    if ($0 ~ /: Skipped$/) in_reason = 1
    if ($0 != "" && $0 !~ /^\[/) output = output (output == "" ? "" : " ") $0
    next
  }
  /^Skip regular expression found/ || (/^Test Passed\.$/ && (name in not_run)) {
    reason = gtest_reason != "" ? gtest_reason : output
    if (reason == "") reason = "(no reason given)"
    if (!printed++) print "Why tests were skipped:"
    shown = name
    sub(/  # .*/, "", shown) # a parameterised case repeats its parameter
    print "  " shown ": " reason
  }
' "$not_run" "$log" 2>/dev/null
exit 0
