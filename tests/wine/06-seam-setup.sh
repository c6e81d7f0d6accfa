#!/usr/bin/env bash
# The installer's seam calls on Wine give the results and errors that the simulated Windows
# gives the host tests: directories and their refusals, copies and deletions, listings with "."
# and "..", the REG_SZ terminator, key removal, service creation and deletion, and the filter INF.
. "$(dirname "$0")/lib.sh"

wine_prefix_new "$(wine_default_arch)"
cp "$OMBRIX_ROOT/Ombrix_Filter/Ombrix_Filter.inf" "$(prefix_c_dir)/Ombrix_Filter.inf"
out=$(wine_run "$(helper_exe seam_setup_probe)" 'C:\seamprobe' 'C:\Ombrix_Filter.inf' | tr -d '\r')
note "$out"

expect() {   # label, result, last error ("-" = any)
    local line
    line=$(printf '%s\n' "$out" | awk -v l="$1" '$1 == l')
    [ -n "$line" ] || fail "$1: no line"
    set -- $1 "$2" "$3" $line
    [ "$5" = "$2" ] || fail "$1: result $5, expected $2"
    [ "$3" = - ] || [ "$6" = "$3" ] || fail "$1: error $6, expected $3"
}

expect CreateDirectoryW 1 -
expect CreateDirectoryW-again 0 183
expect CreateDirectoryW-noparent 0 3
expect CreateDirectoryW-badsddl 0 87
expect CreateFileW-directory 0 5
expect CreateFileW-folder 1 -
expect GetKernelObjectSecurity-small 0 122
expect GetKernelObjectSecurity 1 -
expect GetKernelObjectSecurity-selfrelative 1 -
expect GetFileInformationByHandle-folder 16 -
expect GetProcAddress-wine 1 -
expect SetEndOfFile 1 -
expect GetFileInformationByHandle-file 1002 -
expect DeleteFileW-open 0 32
expect CopyFileW 1 -
expect CopyFileW-exists 0 80
expect CopyFileW-missing 0 3
expect FindNextFileW-end 0 18
printf '%s\n' "$out" | grep -qx 'FindNames \./\.\./a\.txt/b\.txt/' || fail "listing: $(printf '%s\n' "$out" | grep FindNames)"
expect RemoveDirectoryW-nonempty 0 145
expect DeleteFileW 1 -
expect DeleteFileW-missing 0 2
expect RemoveDirectoryW 1 -
expect RemoveDirectoryW-missing 0 2
expect RegSetValueExW-12-stored 14 -
expect RegDeleteValueW 0 -
expect RegDeleteValueW-again 2 -
expect RegDeleteKeyW-subkeys 5 -
expect RegDeleteKeyW-leaf 0 -
expect OpenSCManagerW 1 -
expect CreateServiceW 1 -
expect CreateServiceW-again 0 1073
expect ControlService-stopped 0 1062
expect DeleteService 1 -
expect DeleteService-again 0 1072
expect OpenServiceW-deleted 0 1060
expect SetupOpenInfFileW 1 -
expect SetupInstall-missing 0 3758096641   # ERROR_SECTION_NOT_FOUND 0xE0000101
expect SetupInstall 1 -
expect SetupOpenInfFileW-missing 0 3

wine_tool reg query 'HKLM\System\CurrentControlSet\Services\Ombrix_Filter\Instances\Ombrix_Filter Instance'
printf '%s\n' "$WINE_OUT" | tr -d '\r' | grep -Eq 'Altitude +REG_SZ +265000' || fail "no Altitude: $WINE_OUT"
echo "PASS: installer seam calls on Wine"
