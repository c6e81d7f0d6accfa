#!/usr/bin/env bash
# The viewer's panel test of 40-viewer-panel.sh with the x64 build in a 64-bit prefix.
exec bash "$(dirname "$0")/40-viewer-panel.sh" x64
