#!/usr/bin/env bash
# The harness itself, with a tiny service of our own (win/selftest_service.cpp) in a 32-bit prefix (64-bit
# where the machine runs no 32-bit programs):
# service install and start across the session quirk, the debugger-output listener and its
# one-line record format, stop, and the states sc reports.
. "$(dirname "$0")/lib.sh"

wine_prefix_new "$(wine_default_arch)"

# Installed under another name than the one the service registers its handler with.
dir=$(prefix_c_dir)/harness
mkdir -p "$dir"
cp "$(helper_exe selftest_service)" "$dir/"
svc_install HarnessSelfTest 'C:\harness\selftest_service.exe'

# The listener first in the new session: it keeps the services alive.
dbwin_start
[ "$(svc_state HarnessSelfTest)" = STOPPED ] || fail "a new demand-start service is $(svc_state HarnessSelfTest)"
svc_start HarnessSelfTest
dbwin_wait "SelfTest Running"
dbwin_wait_re '^SelfTest Version [0-9]+\.[0-9]+$'
note "$(dbwin_texts | grep '^SelfTest Version')"
# Line feed, tab and backslash survive as one record.
dbwin_wait $'SelfTest two\nlines\tand a \\ sign'
# Outside ASCII: the ANSI text of the buffer arrives in the log as UTF-8.
dbwin_wait "SelfTest café"
[ "$(svc_state HarnessSelfTest)" = RUNNING ] || fail "service is $(svc_state HarnessSelfTest) after start"
dbwin_has "SelfTest Stop" && fail "stop line before the stop"

svc_stop HarnessSelfTest
dbwin_wait "SelfTest Stop" 10
svc_wait_state HarnessSelfTest STOPPED 10
[ "$(dbwin_count "SelfTest Running")" = 1 ] || fail "start line seen $(dbwin_count "SelfTest Running") times"

# All records of one service come from one process id.
pids=$(awk -F'\t' '/^[0-9]/ && $3 ~ /^SelfTest/ { print $2 }' "$DBWIN_LOG" | sort -u | wc -l)
[ "$pids" = 1 ] || fail "SelfTest lines from $pids processes"
echo "harness: ok"
