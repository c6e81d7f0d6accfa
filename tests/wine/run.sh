#!/usr/bin/env bash
# Runs every tests/wine/NN-*.sh in name order, each on its own (fresh prefixes, own temp dirs).
# Prints PASS/FAIL per script with its time, the output of failed scripts, and ends with
# "wine: N passed, N failed, N skipped". Exits non-zero when any script failed. A script that ends
# with status 77 was skipped: this machine cannot run it (its "SKIP:" line says why).
#
#   bash tests/wine/run.sh            all scripts
#   bash tests/wine/run.sh 10 12-     only scripts whose names start with one of the given words
#
# Each script gets OMBRIX_ROOT (and may use the OMBRIX_BUILD_* / OMBRIX_DIST_* overrides of
# lib.sh) and is stopped after OMBRIX_WINE_SCRIPT_TIMEOUT seconds (default 240).
set -u
here=$(cd "$(dirname "$0")" && pwd)
export OMBRIX_ROOT=${OMBRIX_ROOT:-$(cd "$here/../.." && pwd)}
limit=${OMBRIX_WINE_SCRIPT_TIMEOUT:-240}

passed=0
failed=0
skipped=0
failed_names=()
logdir=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-wine-run.XXXXXX")
trap 'rm -rf "$logdir"' EXIT

for script in "$here"/[0-9][0-9]-*.sh; do
    [ -e "$script" ] || continue
    name=$(basename "$script")
    if [ $# -gt 0 ]; then
        selected=0
        for word in "$@"; do [[ $name == "$word"* ]] && selected=1; done
        [ $selected = 1 ] || continue
    fi
    start=$SECONDS
    # timeout signals the script's whole process group; lib.sh's trap then ends the prefix.
    timeout --kill-after=15 "$limit" bash "$script" >"$logdir/$name.log" 2>&1 </dev/null
    rc=$?
    took=$((SECONDS - start))
    if [ $rc = 0 ]; then
        passed=$((passed + 1))
        summary=$(grep -v '^\[' "$logdir/$name.log" | tail -n 1)
        echo "PASS $name (${took} s)${summary:+: $summary}"
    elif [ $rc = 77 ]; then
        skipped=$((skipped + 1))
        echo "SKIP $name: $(grep '^SKIP: ' "$logdir/$name.log" | tail -n 1 | cut -c7-)"
    else
        failed=$((failed + 1))
        failed_names+=("$name")
        [ $rc = 124 ] && echo "    (stopped after $limit s)" >>"$logdir/$name.log"
        echo "FAIL $name (${took} s, exit $rc)"
        sed 's/^/    /' "$logdir/$name.log"
    fi
done

echo "wine: $passed passed, $failed failed, $skipped skipped"
[ $failed = 0 ]
