#!/usr/bin/env bash
# Uninstalling Ombrix with decompression under Wine and Xvfb: in a fresh 32-bit prefix with Ombrix
# installed and its service running, the uninstaller started from the uninstall entry runs its
# decompression worker (Wine has no change journal, so C: logs its Start line and nothing else,
# seen through the debugger-output listener), then removes everything as without decompression;
# Yes to the restart prompt launches the restart command after its delay (the shutdown stand-in
# records "-r -t 0" once the ping with -w 1000 has ended, started in the system directory) and never
# a shutdown.bat planted at the root of the drive. Screenshot of the progress page with
# the current-file label: build/artifacts/setup/uninstall-en-2-progress-decompress.png.
#
#   bash tests/wine/53-setup-uninstall-decompress.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"

t_start=$SECONDS
setup_installed_prefix
note "installed after $((SECONDS - t_start)) s"

# A batch file named after the restart tool at the root of the drive the uninstaller runs from
# (C:), where cmd would look first for a bare "shutdown".
c=$(prefix_c_dir)
printf '@echo planted>>C:\\planted.txt\r\n' >"$c/shutdown.bat"

uninstall_to_progress tick
grep -q '^213 (hidden) ' <<<"$DRV_OUT" && fail "the current-file label is hidden with decompression chosen"
shoot uninstall-en-2-progress-decompress
dbwin_wait $'----- C: Decompress Start \n' 20
drv wait-page finish 60
expect "uninstall finish header" "$(drv_line '206 ')" "Ombrix successfully uninstalled"
shoot uninstall-en-3-finish-decompress
# Without a change journal the pass ends at the journal query: C:'s Start line, and for any other
# drive Wine reports as fixed NTFS (Z:, the Unix root, on some file systems) its Start line alone.
lines=$(dbwin_texts | grep -e 'Decompress' -e 'Disk near full' -e 'SetSize')
expect "decompression lines" "$(grep -c -v -x -e $'----- [D-Z]: Decompress Start \\\\n' <<<"$lines")" 1
expect "C: decompression line" "$(head -n 1 <<<"$lines")" $'----- C: Decompress Start \\n'
dbwin_texts | grep -qx -e 'NTFSTYPE_WIN7' -e 'NTFSTYPE_WIN8_0' -e 'NTFSTYPE_WIN8_1_UP' ||
    fail "the worker logged no NTFS type"
drv press finish
drv wait-box 10 "$SETUP_CAPTION_UNINSTALL"
expect "uninstall restart prompt" "$(drv_line 'text ')" 'System must be restarted! \nRestart the computer now?'
drv answer yes
drv wait-gone 20
expect "exit code of the uninstall" "$(setup_exit_code uninstall 30)" 1

check_self_removal_ping
check_removed
log=$c/ombrix-standins.log
deadline=$((SECONDS + 30))
until [ -e "$c/planted.txt" ] || awk -F'\t' '$1 == "shutdown" && $2 == "end"' "$log" 2>/dev/null | grep -q .; do
    [ $SECONDS -lt $deadline ] || break
    sleep 0.2
done
[ -e "$c/planted.txt" ] && fail "the restart command ran C:\\shutdown.bat"
standin_wait_end shutdown 1 30
expect "current directory of the restart tool" \
    "$(awk -F'\t' '$1 == "shutdown" && $2 == "start" { print tolower($6); exit }' "$log")" 'c:\windows\system32'
lines=$(standin_lines shutdown | sort -u)
expect "restart command" "$lines" "-r -t 0"
grep -qx '1.0.0.0 -w 1000' <<<"$(standin_lines ping)" || fail "no ping with -w 1000 before the restart"
# The restart came only after its ping had answered all four times.
order=$(awk -F'\t' '$1 == "ping" && $2 == "end" && $4 == "1.0.0.0 -w 1000" && !e { e = NR }
    $1 == "shutdown" && $2 == "start" && !s { s = NR } END { print (e && s > e) ? "after" : "before" }' "$log")
expect "restart relative to the end of its ping" "$order" after

echo "setup uninstall with decompression: all checks passed ($((SECONDS - t_start)) s)"
