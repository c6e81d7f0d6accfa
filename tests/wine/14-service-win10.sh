#!/usr/bin/env bash
# The version class comes from the service's manifest: with Wine set to Windows 10, a program
# without a compatibility section is told 6.2, the service (which declares Windows 10) is told
# 10.0 and must pick NTFSTYPE_WIN8_1_UP. The harness's own service shows the prefix's answer.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/service_lib.sh"

wine_prefix_new "$(wine_default_arch)"
wine_tool reg add 'HKCU\Software\Wine' /v Version /d win10 /f || fail "cannot set the Windows version: $WINE_OUT"
mkdir -p "$(prefix_c_dir)/harness"
cp "$(helper_exe selftest_service)" "$(prefix_c_dir)/harness/"
svc_create HarnessSelfTest 'C:\harness\selftest_service.exe'
ombrix_service_install "$(dist_exe Ombrix_Service.exe)"

dbwin_start
svc_start HarnessSelfTest
dbwin_wait "SelfTest Version 6.2"
svc_start "$OMBRIX_SVC"
dbwin_wait "Ombrix Running ..."
dbwin_wait "Not find VarnFilter Service"
classes=$(dbwin_texts | grep '^NTFSTYPE_' | tr '\n' ' ')
[ "$classes" = "NTFSTYPE_WIN8_1_UP " ] || fail "version class lines: '$classes'"

took=$(ombrix_service_stop_timed) || exit 1
dbwin_wait "Ombrix Stop" 10
echo "service on Windows 10: ok (stop $took ms)"
