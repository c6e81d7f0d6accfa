#!/usr/bin/env python3
"""Mutation check of the service's host tests.

Each entry below changes one detail that the service's rules fix exactly (an offset, a size, an
access mask, a share mode, a creation disposition, a comparison, an arithmetic step) in a scratch
copy of the sources. The script applies the changes one at a time, rebuilds the service's host
tests there (without sanitizers, for speed), runs them, and reports which changes no test caught.

    python3 tools/mutate.py              # every change
    python3 tools/mutate.py stale quota  # only changes whose name contains one of the words
    python3 tools/mutate.py --list       # the list, nothing run
    python3 tools/mutate.py --rev HEAD~3 # the sources (tests included) of an earlier commit

The worktree is never touched: the scratch copy and its build live under build/mutate/.
A tool, not part of the test run; a full pass takes a few minutes per ten changes.
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCRATCH = os.path.join(ROOT, "build", "mutate", "src")
BUILD = os.path.join(ROOT, "build", "mutate", "build")
TARGET = "service_tests"
BINARY = os.path.join(BUILD, "tests", "service", "service_tests")
RUN_TIMEOUT = 180

V = "common/volume.cpp"
VH = "common/volume.h"
P = "Ombrix_Service/volume_pass.cpp"
C = "Ombrix_Service/cycle.cpp"
S = "Ombrix_Service/service.cpp"
F = "Ombrix_Service/filter_link.cpp"
W = "Ombrix_Service/stats_file.cpp"
D = "common/drive.cpp"
H = "Ombrix_Service/service.h"

# (name, file, exact text, replacement). The text must occur exactly once in the file.
MUTATIONS = [
    # Change-journal enumeration.
    ("v3-attributes-at-64", VH, "LayoutV3{68, 72, 76}", "LayoutV3{64, 72, 76}"),
    ("v2-attributes-at-48", VH, "LayoutV2{52, 56, 60}", "LayoutV2{48, 56, 60}"),
    ("v3-name-length-at-74", VH, "LayoutV3{68, 72, 76}", "LayoutV3{68, 74, 76}"),
    ("v2-name-at-58", VH, "LayoutV2{52, 56, 60}", "LayoutV2{52, 56, 58}"),
    ("frn-at-16", VH, "RecordFileReference = 8;", "RecordFileReference = 16;"),
    ("major-version-at-6", VH, "RecordMajorVersion = 4;", "RecordMajorVersion = 6;"),
    ("journal-next-usn-at-8", VH, "JournalNextUsn = 16;", "JournalNextUsn = 8;"),
    ("journal-versions-swapped", VH, "JournalMinMajor = 56;\nconstexpr std::uint32_t JournalMaxMajor = 58;",
     "JournalMinMajor = 58;\nconstexpr std::uint32_t JournalMaxMajor = 56;"),
    ("journal-output-56", VH, "JournalDataSize = 64;", "JournalDataSize = 56;"),
    ("create-journal-input-8", VH, "CreateJournalDataSize = 16;", "CreateJournalDataSize = 8;"),
    ("enum-input-length-24", VH, "EnumInputLength = 32;", "EnumInputLength = 24;"),
    ("next-start-not-copied", V, "  *start = ReadAt<std::uint64_t>(context.Output, 0);\n", "  (void)start;\n"),
    ("win8-0-short-input", V, "context.NtfsType == NTFSTYPE_WIN8_0 || context.NtfsType == NTFSTYPE_WIN8_1_UP) {\n    input",
     "context.NtfsType == NTFSTYPE_WIN8_1_UP) {\n    input"),
    ("version-minor-3-is-win8-0", V, "info.dwMinorVersion == 2)", "info.dwMinorVersion >= 2)"),
    # File selection.
    ("system-bit-ignored", V, "(os::FileAttributeDirectory | os::FileAttributeSystem)", "(os::FileAttributeDirectory)"),
    ("extension-256-kept", V, "std::size_t window = length < 255 ? length : 255;",
     "std::size_t window = length < 256 ? length : 256;"),
    ("ending-dot-excluded", V, "if (units == 0 || units >= ExcludedKeyUnits) return false;",
     "if (units == 0) return true;\n  if (units >= ExcludedKeyUnits) return false;"),
    ("upper-case-not-lowered", V, "    if (char16_t(unit - u'A') < 26) unit = char16_t(unit + (u'a' - u'A'));\n", ""),
    ("size-limit-exclusive", V, "*size <= MaxFileSize", "*size < MaxFileSize"),
    ("open-read-access-only", V, "os::FileGenericReadWrite,\n                             os::FileShareRead",
     "0x00120089,\n                             os::FileShareRead"),   # FILE_GENERIC_READ
    ("open-without-write-sharing", V, "os::FileShareRead | os::FileShareWrite, os::FileCompleteIfOplocked",
     "os::FileShareRead, os::FileCompleteIfOplocked"),
    ("select-open-reads-data", V, "os::FileReadAttributes | os::Synchronize,", "os::FileReadAttributes | os::Synchronize | 1,"),
    ("change-open-waits-on-oplocks", V, "os::FileShareWrite, os::FileCompleteIfOplocked, &status",
     "os::FileShareWrite, 0, &status"),
    ("change-open-ignores-break-in-progress", V, "if (status != os::StatusSuccess || !IsPlainFileOnVolume",
     "if (!IsPlainFileOnVolume"),
    ("open-disposition-open-if", V, "share, os::FileOpen,", "share, 3,"),
    ("open-directories-too", V, "os::FileOpenByFileId | os::FileNonDirectoryFile", "os::FileOpenByFileId"),
    ("open-name-16-bytes", V, "name.Length = sizeof(fileReferenceNumber);", "name.Length = 16;"),
    ("stale-at-30-days", V, "return ageMs > StaleAge;", "return ageMs >= StaleAge;"),
    ("stale-age-divided-by-1000", V, "(now - lastAccess) / 10000;", "(now - lastAccess) / 1000;"),
    ("future-access-recent", V, "std::uint64_t ageMs = (now - lastAccess) / 10000;",
     "std::uint64_t ageMs = now < lastAccess ? 0 : (now - lastAccess) / 10000;"),
    ("compress-format-lznt1", V, "SetCompression(file, os::CompressionFormatDefault)", "SetCompression(file, 2)"),
    # Decisions and measuring.
    ("restore-above-2gib", P, "available >= RestoreFreeSpace", "available > RestoreFreeSpace"),
    ("restore-from-total-free", P, "return available >= RestoreFreeSpace;", "return totalFree >= RestoreFreeSpace;"),
    ("recent-compressed-restored-measured", P, "      DecompressFile(file);\n    } else {",
     "      DecompressFile(file);\n      MeasureFile(file, control, totals);\n    } else {"),
    ("quota-compared-with-ge", P, "control.CycleSaved + totals.newSavings > CycleQuota",
     "control.CycleSaved + totals.newSavings >= CycleQuota"),
    ("quota-without-earlier-volumes", P, "control.CycleSaved + totals.newSavings > CycleQuota",
     "totals.newSavings > CycleQuota"),
    ("measure-unit-512", P, "MeasureUnit = 4096;", "MeasureUnit = 512;"),
    ("new-savings-include-compressed", P, "  if (!file.Compressed) {\n    totals.newSavings",
     "  if (true) {\n    totals.newSavings"),
    ("path-capacity-260", P, "PathCapacity = 4096;", "PathCapacity = 260;"),
    ("elapsed-divided-by-1000", P, "std::int64_t(end - start) / 10000", "std::int64_t(end - start) / 1000"),
    ("megabytes-of-1000000", P, "totals.volumeTotal / 1048576", "totals.volumeTotal / 1000000"),
    ("new-megabytes-of-1000000", P, "totals.newSavings / 1048576", "totals.newSavings / 1000000"),
    ("volume-opened-read-only", V, "os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite,\n                         os::OpenExisting",
     "os::GenericRead, os::FileShareRead | os::FileShareWrite,\n                         os::OpenExisting"),
    ("volume-opened-without-write-sharing", V, "os::GenericRead | os::GenericWrite, os::FileShareRead | os::FileShareWrite,\n                         os::OpenExisting",
     "os::GenericRead | os::GenericWrite, os::FileShareRead,\n                         os::OpenExisting"),
    # The cycle.
    ("used-from-available", C, "std::uint64_t used = total - totalFree;", "std::uint64_t used = total - available;"),
    ("rate-per-thousand", C, "std::uint64_t(saved) * 10000 / used", "std::uint64_t(saved) * 1000 / used"),
    ("compressed-drive-processed", C, "if (!HasCompressedAttribute(name) && IsNtfs(name))", "if (IsNtfs(name))"),
    ("aborted-letter-stored", C, "      if (control.AbortRequested) continue;\n", ""),
    ("quota-kept-across-cycles", C, "  control.QuotaReached = 0;\n  control.CycleSaved = 0;\n", ""),
    ("ntfs-prefix-accepted", D, "WideEqual(fileSystem, u\"NTFS\")", "(fileSystem[0] == u'N' && fileSystem[1] == u'T')"),
    ("removable-counts-as-fixed", D, "== os::DriveFixed;", ">= os::DriveRemovable;"),
    # Service host.
    ("first-cycle-a-step-late", S, "if (waited < CycleInterval) {", "if (waited <= CycleInterval) {"),
    ("running-accepts-stop-only", S, "os::ServiceAcceptStop | os::ServiceAcceptShutdown : 0",
     "os::ServiceAcceptStop : 0"),
    ("shutdown-ignored", S, "control != os::ServiceControlStop && control != os::ServiceControlShutdown",
     "control != os::ServiceControlStop"),
    ("colour-kept-at-one", S, "std::uint32_t zero = 0;", "std::uint32_t zero = 1;"),
    ("port-kept-open-in-cycle", S, "      os::CloseHandle(Service.FilterPort);\n", ""),
    # Filter hand-off.
    ("message-of-64-bytes", F, "&message, sizeof(message), nullptr", "&message, 64, nullptr"),
    ("list-without-dos-device-check", F, "if (os::QueryDosDeviceW(name, device, DeviceNameCapacity) == 0) continue;",
     "if (os::QueryDosDeviceW(name, device, DeviceNameCapacity) == 0) device[0] = 0;"),
    ("volume-number-last-digit", F, "number = number * 10 + std::uint32_t(*token - u'0');",
     "number = std::uint32_t(*token - u'0');"),
    # Statistics file.
    ("stats-open-always", W, "os::CreateAlways", "os::OpenAlways"),
    ("stats-shared-for-reading", W, "os::GenericWrite, 0, os::CreateAlways", "os::GenericWrite, os::FileShareRead, os::CreateAlways"),
    ("stats-short-write", W, "sizeof(Service.Published), &written", "sizeof(Service.Published) - 128, &written"),
]


def run(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)


def prepare(rev):
    if rev:
        files = run(["git", "ls-tree", "-r", "--name-only", rev], cwd=ROOT).stdout.split()
    else:
        files = run(["git", "ls-files"], cwd=ROOT).stdout.split()
    for rel in files:
        if rev:
            content = subprocess.run(["git", "show", f"{rev}:{rel}"], cwd=ROOT, stdout=subprocess.PIPE).stdout
        else:
            source = os.path.join(ROOT, rel)
            if not os.path.isfile(source):
                continue
            content = open(source, "rb").read()
        target = os.path.join(SCRATCH, rel)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        if not os.path.exists(target) or open(target, "rb").read() != content:
            open(target, "wb").write(content)
    configure = run(["cmake", "-S", SCRATCH, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Debug", "-DOMBRIX_NO_SANITIZERS=ON"])
    if configure.returncode != 0:
        sys.exit("configure failed:\n" + configure.stdout[-3000:])


def build():
    return run(["nice", "cmake", "--build", BUILD, "--target", TARGET, "-j2"])


def test():
    try:
        result = run([BINARY, "--gtest_brief=1"], timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        return False, ["(timed out)"]
    failed = [line.split("]", 1)[1].strip().split(" ")[0] for line in result.stdout.splitlines()
              if line.startswith("[  FAILED  ]") and "(" in line]
    return result.returncode == 0, failed


def main():
    args = sys.argv[1:]
    rev = None
    if "--rev" in args:
        at = args.index("--rev")
        rev = args[at + 1]
        del args[at:at + 2]
    if "--list" in args:
        for name, path, _, _ in MUTATIONS:
            print(f"{name:40} {path}")
        return
    chosen = [m for m in MUTATIONS if not args or any(word in m[0] for word in args)]
    prepare(rev)
    base = build()
    if base.returncode != 0:
        sys.exit("the unchanged sources do not build:\n" + base.stdout[-3000:])
    passed, failed = test()
    if not passed:
        sys.exit("the unchanged sources fail their tests: " + " ".join(failed))

    survivors = []
    started = time.time()
    for name, rel, text, replacement in chosen:
        path = os.path.join(SCRATCH, rel)
        original = open(path).read()
        if original.count(text) != 1:
            print(f"{name:40} NOT APPLIED (the text occurs {original.count(text)} times in {rel})")
            survivors.append(name)
            continue
        open(path, "w").write(original.replace(text, replacement))
        try:
            built = build()
            if built.returncode != 0:
                print(f"{name:40} caught by the build")
                continue
            passed, failed = test()
            if passed:
                print(f"{name:40} SURVIVED")
                survivors.append(name)
            else:
                print(f"{name:40} caught by {', '.join(failed[:4])}{' ...' if len(failed) > 4 else ''}")
        finally:
            open(path, "w").write(original)
        sys.stdout.flush()
    build()
    print(f"\n{len(chosen) - len(survivors)} of {len(chosen)} changes caught, {time.time() - started:.0f} s")
    if survivors:
        print("survivors: " + " ".join(survivors))
    sys.exit(1 if survivors else 0)


if __name__ == "__main__":
    main()
