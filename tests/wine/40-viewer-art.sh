#!/usr/bin/env bash
# The viewer's icons and logo in Ombrix_Viewer/res/ are what tools/art/make_art.py renders from
# the emblem Ombrix_Viewer/art/ombrix.svg: regenerated into a temp dir, byte for byte the same.
# (No Wine needed; it lives with the viewer's other tests of built artefacts.)
set -u
root=${OMBRIX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
for tool in python3 rsvg-convert convert; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
out=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-art.XXXXXX")
trap 'rm -rf "$out"' EXIT
python3 "$root/tools/art/make_art.py" --out "$out" || { echo "FAIL: make_art.py failed"; exit 1; }
status=0
for f in ombrix.ico tray.ico logo.png; do
    if cmp -s "$out/$f" "$root/Ombrix_Viewer/res/$f"; then
        echo "$f: $(stat -c %s "$out/$f") bytes, same as the committed file"
    else
        echo "FAIL: Ombrix_Viewer/res/$f differs from the rendering of art/ombrix.svg (run tools/art/make_art.py)"
        status=1
    fi
done
exit $status
