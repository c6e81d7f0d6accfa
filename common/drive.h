// Drive tests shared by the service and the installer. A drive name is two characters, "C:".
#pragma once

// The drive is a fixed disk (removable, network, optical and RAM drives are not).
bool IsFixedDrive(const char16_t* name);
// The drive's file system is exactly "NTFS". Returns 1 or 0.
int IsNtfs(const char16_t* name);
// GetFileAttributesW on the drive's root ("C:\") reports the compressed attribute. An absent drive
// reports the invalid-attributes value, all of whose bits are set, so it counts as compressed too.
bool HasCompressedAttribute(const char16_t* name);
