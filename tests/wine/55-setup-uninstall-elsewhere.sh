#!/usr/bin/env bash
# A copy of the setup started with "-UNINSTALL" from another folder, under Wine and Xvfb: in a
# fresh 32-bit prefix with Ombrix installed, the copy in "C:\Other Folder" beside other files is
# driven through the uninstall wizard (no decompression, No to the restart prompt). The removal
# acts on the install directory only: Ombrix is uninstalled and its directory removed, while the
# other folder keeps every file, the copy included, after the self-removal command has run.
#
#   bash tests/wine/55-setup-uninstall-elsewhere.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"

t_start=$SECONDS
setup_installed_prefix
other="$(prefix_c_dir)/Other Folder"
mkdir -p "$other"
cp "$OMBRIX_DIST_X86/Ombrix_Setup.exe" "$other/"
cp "$OMBRIX_DIST_X86/Ombrix_Viewer.exe" "$other/"
echo "keep me" >"$other/notes.txt"
cp "$(install_dir)/Ombrix.ini" "$other/"
before=$(cd "$other" && md5sum * | LC_ALL=C sort)

setup_start uninstall '"C:\Other Folder\Ombrix_Setup.exe" -UNINSTALL'
drv wait-sheet 30
expect "sheet title" "$(drv_line 'sheet ')" "$SETUP_CAPTION_UNINSTALL"
drv wait-page welcome 10
drv press next
drv wait-page progress 10
drv wait-page finish 30
drv press finish
drv wait-box 10 "$SETUP_CAPTION_UNINSTALL"
drv answer no
drv wait-gone 20
expect "exit code of the uninstall" "$(setup_exit_code uninstall 30)" 1

check_removed
standin_wait_end ping 1 20
sleep 3
[ -d "$other" ] || fail "the self-removal command removed C:\\Other Folder"
after=$(cd "$other" && md5sum * | LC_ALL=C sort)
expect "files of C:\\Other Folder" "$after" "$before"

echo "setup uninstall from another folder: all checks passed ($((SECONDS - t_start)) s)"
