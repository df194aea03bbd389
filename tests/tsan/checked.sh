#!/usr/bin/env bash
# checked.sh REPORTS SUPPRESSIONS TEST [ARGS...]
# Runs a test built with ThreadSanitizer. The first report of the test, or of any program it
# starts, stops that program; every report lands in the folder REPORTS and is printed here, and
# the test then fails even if it missed the program's exit status.
set -uo pipefail
reports=$1
suppressions=$2
shift 2
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$suppressions:log_path=$reports/report${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
"$@"
status=$?
if compgen -G "$reports/report.*" >/dev/null; then
    cat "$reports"/report.* >&2
    echo "checked.sh: ThreadSanitizer reports above" >&2
    exit 1
fi
exit $status
