#!/bin/bash
# Runs one end-to-end scenario: tests/e2e/scenario.sh NAME (E2E_WORK set by run.sh).
set -u
SC=$1
source "$(dirname "$0")/wine_session.sh"
source "$(dirname "$0")/scenarios.sh"
if ! declare -F "sc_$SC" >/dev/null; then
  fail "exists" "no such scenario"
  exit 1
fi
"sc_$SC"
e2e_finish
