#!/usr/bin/env bash
# Ombrix_Setup installs under Wine and Xvfb: in a fresh 32-bit prefix the built setup, started
# from a downloads folder whose path has blanks, is driven through its wizard (the cancel
# confirmation refused on the welcome page, Next, the progress page moving on by itself, Finish,
# No to the restart prompt; exit code 1). Checked from outside: the install directory's files
# (the setup copy under its own name, viewer, service, HELP.chm, the 597-byte first statistics
# record), the driver file, the uninstall entry, the Run value, the two system settings, the
# compression service and the driver service from the INF with its instance keys, the extraction
# directory (inside the install directory) gone and nothing unpacked into the temporary folder. Then, in the next session (which starts the service) and with the installed
# viewer running, a second installation over the first: viewer closed, files replaced, one entry,
# the service registered again with its quoted path. Last, a third installation while another
# program keeps Ombrix_Viewer.exe open without sharing (a viewer in another user's session, out of
# the installer's reach): the install completes, the new viewer waits beside the old one and is
# recorded in PendingFileRenameOperations, and the finish page says the restart completes it.
# Screenshots of every page and message box: build/artifacts/setup/install-en-*.png.
#
#   bash tests/wine/50-setup-install.sh
set -u
. "$(dirname "$0")/setup_lib.sh"
setup_under_xvfb "$@"
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"   # stats_u8, stats_u32, stats_i64

t_start=$SECONDS
setup_prefix x86
setup_download
setup_session_start

# ---- The wizard, page by page.
t_before=$(filetime_now)
setup_start install "\"$SETUP_WIN\""
drv wait-sheet 30
expect "sheet title" "$(drv_line 'sheet ')" "$SETUP_CAPTION_INSTALL"
drv wait-page welcome 10
expect "welcome title" "$(drv_line '204 ')" "Welcome to Ombrix"
expect "welcome body" "$(drv_line '207 ')" 'Ombrix is a space-saving software. Using Ombrix can reduce used spaces on SSDs. \n\nThe installation wizard will now install Ombrix on your computer, \nClick "Next" to proceed with the installation.'
grep -q '^208 (hidden) ' <<<"$DRV_OUT" || fail "the second body 208 is shown on the install welcome page"
grep -q '^214 (hidden) ' <<<"$DRV_OUT" || fail "the check box 214 is shown on the install welcome page"
expect "welcome buttons" "$(drv_line 'buttons')" " next cancel"
shoot install-en-1-welcome

# Cancel on the welcome page asks first; No keeps the wizard.
drv press cancel
drv wait-box 10 "$SETUP_CAPTION_INSTALL"
expect "cancel confirmation" "$(drv_line 'text ')" 'Installation incomplete.  If you close the installation wizard now, Ombrix will not be installed. \n\nAre you sure you want to close the installation wizard?'
expect "cancel confirmation buttons" "$(drv_line 'buttons')" " yes no"
shoot install-en-1-cancel box "$SETUP_CAPTION_INSTALL"
drv answer no
drv wait-page welcome 5

drv press next
drv wait-page progress 10
expect "progress header" "$(drv_line '205 ')" "Installing Ombrix"
expect "progress body" "$(drv_line '209 ')" "Please wait.  The installation wizard is now installing Ombrix on your computer."
expect "progress buttons" "$(drv_line 'buttons')" " cancel"
grep -Eq '^211 [0-9]+%$' <<<"$DRV_OUT" || fail "the percentage label reads [$(drv_line '211 ')]"
shoot install-en-2-progress

drv wait-page finish 30
expect "finish header" "$(drv_line '206 ')" "Ombrix installation complete"
expect "finish body" "$(drv_line '212 ')" 'The installation wizard has installed Ombrix on your computer.\nPress "Finish" to close the installation wizard.'
expect "finish buttons" "$(drv_line 'buttons')" " finish"
shoot install-en-3-finish
drv press finish
drv wait-box 10 "$SETUP_CAPTION_INSTALL"
expect "restart prompt" "$(drv_line 'text ')" 'System must be restarted! \nRestart the computer now?'
expect "restart prompt buttons" "$(drv_line 'buttons')" " yes no"
shoot install-en-4-restart box "$SETUP_CAPTION_INSTALL"
drv answer no
drv wait-gone 20
expect "exit code of the install" "$(setup_exit_code install 30)" 1
t_after=$(filetime_now)

# ---- Files.
dir=$(install_dir)
[ -d "$dir" ] || fail "C:\\Program Files\\Ombrix was not created"
listing() { (cd "$1" && ls -1A | LC_ALL=C sort | tr '\n' '|'); }
installed_files=$(printf '%s\n' HELP.chm Ombrix.ini "$SETUP_NAME" Ombrix_Service.exe Ombrix_Viewer.exe | LC_ALL=C sort | tr '\n' '|')
expect "files of the install directory" "$(listing "$dir")" "$installed_files"
cmp -s "$dir/$SETUP_NAME" "$OMBRIX_DIST_X86/Ombrix_Setup.exe" || fail "the installed setup copy differs from the one started"
cmp -s "$dir/Ombrix_Viewer.exe" "$OMBRIX_DIST_X86/Ombrix_Viewer.exe" || fail "Ombrix_Viewer.exe is not the x86 viewer of this build"
cmp -s "$dir/Ombrix_Service.exe" "$OMBRIX_DIST_X86/Ombrix_Service.exe" || fail "Ombrix_Service.exe is not the x86 service of this build"
expect "HELP.chm signature" "$(head -c 4 "$dir/HELP.chm")" "ITSF"
cmp -s "$(prefix_c_dir)/windows/system32/drivers/Ombrix_Filter.sys" "$OMBRIX_DIST_X86/Ombrix_Filter.sys" ||
    fail "drivers\\Ombrix_Filter.sys is missing or not the x86 driver of this build"

ini=$dir/Ombrix.ini
expect "size of Ombrix.ini" "$(stat -c %s "$ini")" 597
expect "Valid" "$(stats_u8 "$ini" 0)" 1
updated=$(stats_filetime "$ini")
[ "$updated" -ge $((t_before - 20000000)) ] && [ "$updated" -le $((t_after + 20000000)) ] ||
    fail "UpdatedAt $updated is not the time of the install ($t_before to $t_after)"
expect "TotalSaved" "$(stats_i64 "$ini" 9)" 0
expect "TotalRate" "$(stats_u32 "$ini" 17)" 0
expect "C: eligible" "$(stats_u8 "$ini" 21)" 1
expect "C: NTFS" "$(stats_u8 "$ini" 53)" 1
expect "C: drive type" "$(stats_u32 "$ini" 85)" 3
# Letters without a drive in the prefix: no root directory, neither eligible nor NTFS.
absent=0
for i in $(seq 1 23); do
    letter=$(printf "\\$(printf %o $((99 + i)))")
    [ -e "$WINEPREFIX/dosdevices/$letter:" ] && continue
    expect "$letter: slot" "$(stats_u8 "$ini" $((21 + i))) $(stats_u8 "$ini" $((53 + i))) $(stats_u32 "$ini" $((85 + 4 * i)))" "0 0 1"
    absent=$((absent + 1))
done
[ $absent -gt 0 ] || fail "the prefix has a drive on every letter; the absent-letter rule went unchecked"
# Slots 24 to 31, every saving and every rate: 0.
nonzero=$(od -An -tu1 -v -j 213 -N 384 "$ini" | tr -s ' ' '\n' | grep -cv '^0*$')
expect "non-zero bytes among DriveSaved and DriveRate" "$nonzero" 0
expect "slots 24 to 31" "$(od -An -tu1 -v -j 45 -N 8 "$ini" | tr -d ' \n')$(od -An -tu1 -v -j 77 -N 8 "$ini" | tr -d ' \n')$(od -An -tu1 -v -j 181 -N 32 "$ini" | tr -d ' \n')" \
    "$(printf '0%.0s' $(seq 48))"

# ---- Registry.
setup_win_installed="C:\\Program Files\\Ombrix\\$SETUP_NAME"
regdump "$SETUP_UNINSTALL_KEY" || fail "no uninstall entry"
expect "values of the uninstall entry" "$(awk -F'\t' '$1 == "."' <<<"$REG_OUT" | wc -l)" 5
expect "DisplayName" "$(reg_field . DisplayName 3) $(reg_field . DisplayName 5)" "REG_SZ Ombrix"
expect "UninstallString" "$(reg_field . UninstallString 3) $(reg_field . UninstallString 5)" "REG_SZ \"$setup_win_installed\" -UNINSTALL"
expect "DisplayIcon" "$(reg_field . DisplayIcon 3) $(reg_field . DisplayIcon 5)" "REG_SZ \"$setup_win_installed\""
expect "Publisher" "$(reg_field . Publisher 3) $(reg_field . Publisher 5)" "REG_SZ TAVRIX"
expect "DisplayVersion" "$(reg_field . DisplayVersion 3) $(reg_field . DisplayVersion 5)" "REG_SZ 1.0.0.6"

regdump 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' || fail "no Run key"
expect "Run value" "$(reg_field . Ombrix_Viewer 3) $(reg_field . Ombrix_Viewer 5)" 'REG_SZ "C:\Program Files\Ombrix\Ombrix_Viewer.exe"'
regdump 'HKLM\SYSTEM\CurrentControlSet\Control\FileSystem' || fail "no FileSystem key"
expect "NtfsDisableLastAccessUpdate" "$(reg_field . NtfsDisableLastAccessUpdate 3) $(reg_field . NtfsDisableLastAccessUpdate 5)" "REG_DWORD 1"
regdump 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Advanced' || fail "no Explorer\\Advanced key"
expect "ShowCompColor" "$(reg_field . ShowCompColor 3) $(reg_field . ShowCompColor 5)" "REG_DWORD 0"

check_service() {
    regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Service' || fail "$1: the service Ombrix_Service is not registered"
    expect "$1: service type" "$(reg_field . Type 5)" 16
    expect "$1: service start" "$(reg_field . Start 5)" 2
    expect "$1: service error control" "$(reg_field . ErrorControl 5)" 0
    expect "$1: service ImagePath" "$(reg_field . ImagePath 5)" '"C:\Program Files\Ombrix\Ombrix_Service.exe"'
    expect "$1: service display name" "$(reg_field . DisplayName 5)" Ombrix_Service
}
check_service "first install"

regdump 'HKLM\System\CurrentControlSet\Services\Ombrix_Filter' || fail "the driver service Ombrix_Filter is not registered"
expect "driver type" "$(reg_field . Type 5)" 2
expect "driver start" "$(reg_field . Start 5)" 1
expect "driver error control" "$(reg_field . ErrorControl 5)" 1
expect "driver group" "$(reg_field . Group 5)" "FSFilter Content Screener"
# Wine 8's SetupAPI leaves the INF's Dependencies out of the service (no "DependOnService").
expect "driver description" "$(reg_field . Description 5)" "Ombrix_Filter mini-filter driver"
image=$(reg_field . ImagePath 5)
[[ ${image,,} == *'system32\drivers\ombrix_filter.sys' ]] || fail "driver ImagePath is [$image]"
expect "DefaultInstance" "$(reg_field Instances DefaultInstance 3) $(reg_field Instances DefaultInstance 5)" "REG_SZ Ombrix_Filter Instance"
expect "Altitude" "$(reg_field 'Instances\Ombrix_Filter Instance' Altitude 3) $(reg_field 'Instances\Ombrix_Filter Instance' Altitude 5)" "REG_SZ 265000"
expect "Flags" "$(reg_field 'Instances\Ombrix_Filter Instance' Flags 3) $(reg_field 'Instances\Ombrix_Filter Instance' Flags 5)" "REG_DWORD 0"

# ---- The extraction directory inside the install directory is gone (the listing above), and
# nothing was unpacked into the user's temporary folder; the INF was read.
drv temp
temp_unix=$(prefix_c_dir)/$(sed 's/^C:\\//; s/\\/\//g' <<<"$DRV_OUT")
[ -d "$temp_unix" ] || fail "the temporary folder $DRV_OUT is not at $temp_unix"
[ -e "${temp_unix%/}/Ombrix" ] && fail "something was unpacked into ${DRV_OUT}Ombrix: $(ls -A "${temp_unix%/}/Ombrix")"
dbwin_texts | grep -q 'SetupOpenInfFile' && fail "the INF could not be opened: $(dbwin_texts | grep SetupOpenInfFile)"
note "first install checked after $((SECONDS - t_start)) s"

# ---- Second installation over the first, in the next session: the service runs (the session
# starts it) and so does the installed viewer.
setup_session_end
setup_session_start
svc_wait_state Ombrix_Service RUNNING 30
wine_bg viewer "C:\\Program Files\\Ombrix\\Ombrix_Viewer.exe"
viewer_pid=${WINE_BG_PIDS[-1]}
probe=$(WINE_ARCH=x86 helper_exe viewer_probe) || exit 1
wine_run "$probe" wait-panel >/dev/null || fail "the installed viewer shows no panel"
# HELP.chm is not in use: damage it, so that its replacement shows.
printf 'damaged' >"$dir/HELP.chm"
cp "$ini" "$WINE_TMP/first.ini"

second_start=$(date +%s)
setup_install
deadline=$((SECONDS + 15))
while kill -0 "$viewer_pid" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "the viewer still runs after the second installation"
    sleep 0.2
done
wait "$viewer_pid" || fail "the viewer ended with exit code $? when the installer closed it"
expect "files after the second installation" "$(listing "$dir")" "$installed_files"
expect "HELP.chm signature after the second installation" "$(head -c 4 "$dir/HELP.chm")" "ITSF"
# The copies carry the time of this extraction (a copy keeps its source's write time).
for f in Ombrix_Service.exe Ombrix_Viewer.exe "$SETUP_NAME"; do
    cmp -s "$dir/$f" "$OMBRIX_DIST_X86/${f/$SETUP_NAME/Ombrix_Setup.exe}" || fail "$f differs from this build's after the second installation"
done
for f in Ombrix_Service.exe Ombrix_Viewer.exe HELP.chm; do
    [ "$(stat -c %Y "$dir/$f")" -ge $((second_start - 2)) ] || fail "$f was not replaced by the second installation"
done
[ "$(stats_filetime "$ini")" -gt "$(stats_filetime "$WINE_TMP/first.ini")" ] || fail "Ombrix.ini was not written again"
regdump 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall' || fail "no uninstall list"
expect "uninstall entries named Ombrix*" "$(awk -F'\t' '$1 ~ /^Ombrix/ { print $1 }' <<<"$REG_OUT" | sort -u | tr '\n' ' ')" "Ombrix "
check_service "second install"
state=$(svc_state Ombrix_Service)
[ "$state" = RUNNING ] && fail "the old service still runs after the second installation"
note "service after the second installation: $state"
dbwin_texts | grep -q 'SetupOpenInfFile' && fail "the INF could not be opened: $(dbwin_texts | grep SetupOpenInfFile)"

# ---- A third installation while the viewer's file stays in use.
release=$WINE_TMP/release-viewer
wine_bg hold_viewer "$(helper_exe hold_file)" 'C:\Program Files\Ombrix\Ombrix_Viewer.exe' "$(winpath "$release")" 120
deadline=$((SECONDS + 30))
until grep -q '^held' "$WINE_TMP/hold_viewer.out" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "hold_file did not open the viewer: $(cat "$WINE_TMP/hold_viewer.out" 2>/dev/null)"
    sleep 0.2
done
cp "$dir/Ombrix_Viewer.exe" "$WINE_TMP/old-viewer.exe"
setup_start install "\"$SETUP_WIN\""
drv wait-sheet 30
drv wait-page welcome 10
drv press next
drv wait-page finish 30
expect "finish header with a file in use" "$(drv_line '206 ')" "Ombrix installation complete"
expect "finish body with a file in use" "$(drv_line '212 ')" 'The installation wizard has installed Ombrix on your computer. Files still in use are replaced when the computer restarts; the restart completes the installation.\nPress "Finish" to close the installation wizard.'
shoot install-en-5-finish-restart
drv press finish
drv wait-box 10 "$SETUP_CAPTION_INSTALL"
drv answer no
drv wait-gone 20
expect "exit code of the install with a file in use" "$(setup_exit_code install 30)" 1
touch "$release"
cmp -s "$dir/Ombrix_Viewer.exe" "$WINE_TMP/old-viewer.exe" || fail "the viewer in use was changed"
cmp -s "$dir/Ombrix_Viewer.exe.new" "$OMBRIX_DIST_X86/Ombrix_Viewer.exe" || fail "no whole new viewer waits beside the one in use"
regdump 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' || fail "no Session Manager key"
pending=$(reg_field . PendingFileRenameOperations 5)
[[ "$pending" == *'\??\C:\Program Files\Ombrix\Ombrix_Viewer.exe.new|!\??\C:\Program Files\Ombrix\Ombrix_Viewer.exe'* ]] ||
    fail "PendingFileRenameOperations is [$pending]"
expect "type of PendingFileRenameOperations" "$(reg_field . PendingFileRenameOperations 3)" REG_MULTI_SZ

echo "setup install: all checks passed ($((SECONDS - t_start)) s)"
