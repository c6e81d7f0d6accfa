#!/usr/bin/env bash
# The installer's pictures and icon in Ombrix_Setup/res/ are what tools/art/make_setup_art.py
# renders from Ombrix_Setup/art/*.svg and the viewer's emblem: regenerated into a temp dir, byte
# for byte the same. (No Wine needed; it lives with the viewer's art check.)
set -u
root=${OMBRIX_ROOT:-$(cd "$(dirname "$0")/../.." && pwd)}
for tool in python3 rsvg-convert convert; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed"; exit 1; }
done
out=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-setup-art.XXXXXX")
trap 'rm -rf "$out"' EXIT
python3 "$root/tools/art/make_setup_art.py" --out "$out" || { echo "FAIL: make_setup_art.py failed"; exit 1; }
status=0
for f in side.bmp banner.bmp setup.ico; do
    if cmp -s "$out/$f" "$root/Ombrix_Setup/res/$f"; then
        echo "$f: $(stat -c %s "$out/$f") bytes, same as the committed file"
    else
        echo "FAIL: Ombrix_Setup/res/$f differs from the rendering of its sources (run tools/art/make_setup_art.py)"
        status=1
    fi
done
exit $status
