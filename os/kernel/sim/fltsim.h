// The simulated kernel and Filter Manager: what the host tests build a machine with and look at.
//
// The driver's source calls the platform routines by name (FltRegisterFilter, ExAllocatePoolWithTag,
// ...); on the host they are implemented in fltsim.cpp against the machine described here. The
// simulation behaves like the Filter Manager: it loads the driver by calling DriverEntry, keeps
// the registration, creates the communication port and enforces its connection limit, calls the
// port notifications as a user-mode client connects, sends and closes its handle, and calls the
// post-read callback when a file is read (from as many threads as the test likes). It checks the
// platform's rules that a real kernel enforces with a bug check (IRQL of each call, freeing with
// the wrong tag, unregistering with an open server port, ...) and records each breach as a
// violation instead, so that tests can assert there were none.
#pragma once

#include "ntbase.h"

#include <cstdint>
#include <string>
#include <vector>

#include "../fltmgr.h"

namespace fltsim {

// Routines that can be told to fail.
enum class Call {
    RegisterFilter,
    StartFiltering,
    BuildSecurityDescriptor,
    CreateCommunicationPort,
    GetFileNameInformation,
    QueryInformationFile,
    SetInformationFile,
    AllocatePool,
    IntegerToUnicodeString,
    AppendUnicodeString,
    CaptureBuffer,
    Count
};

// Makes the nth call (1-based, counted from now) of a routine fail with status; nth 0 makes every
// call fail until Reset.
void FailCall(Call call, NTSTATUS status, unsigned nth = 0);
// How often a routine was called since Reset.
unsigned CallCount(Call call);

// A fresh machine: no driver, no files, clock at 0, no faults, counters and logs cleared.
// Memory the previous driver left in pool is reported by PoolOutstanding until then.
void Reset();

// ---- clock
void SetSystemTime(LONGLONG time);

// ---- the driver
NTSTATUS LoadDriver();   // calls DriverEntry as the I/O manager would
NTSTATUS UnloadDriver(); // "fltmc unload": calls the registered unload callback, flags 0
bool IsRegistered();
bool IsFiltering();
// The registration record the driver passed (valid while registered).
const FLT_REGISTRATION *Registration();

// ---- the communication port
struct PortInfo {
    bool open = false;
    std::u16string name;
    ULONG attributes = 0;
    bool securityDescriptorValid = false; // a live descriptor from FltBuildDefaultSecurityDescriptor
    ACCESS_MASK securityAccess = 0;       // the access it was built with
    LONG maxConnections = 0;
    bool serverCookie = false;
};
PortInfo ServerPort();
unsigned LiveSecurityDescriptors();
unsigned OpenClientPorts(); // client ports the driver has not closed yet

// A user-mode client (the service). Connect returns a client id >= 0, or -1 with the status of
// FilterConnectCommunicationPort in *status.
int Connect(const std::u16string &portName, NTSTATUS *status);
// FilterSendMessage: the client's bytes are placed in user memory of exactly `bytes` bytes; the
// driver is told `length` bytes (a client may claim more than it owns, reading past it faults).
NTSTATUS SendMessage(int client, const void *message, ULONG length);
NTSTATUS SendMessageClaiming(int client, const void *message, size_t bytes, ULONG claimedLength);
NTSTATUS SendNullMessage(int client, ULONG claimedLength);
void CloseClient(int client); // the client closes its handle (or ends)
// The client's handle is closed while the driver handles its next message (after the driver
// has captured it): the disconnect notification runs in the middle of the message notification.
void CloseClientDuringNextMessage(int client);

// ---- files
struct FileTimes {
    LONGLONG creation = 0;
    LONGLONG lastAccess = 0;
    LONGLONG lastWrite = 0;
    LONGLONG change = 0;
    ULONG attributes = 0;
};
// A file with its normalized name ("\Device\HarddiskVolume3\Users\a.txt") and basic information.
PFILE_OBJECT AddFile(const std::u16string &normalizedName, const FileTimes &times);
FileTimes Times(PFILE_OBJECT file);
unsigned SetCount(PFILE_OBJECT file);              // successful FileBasicInformation sets
FILE_BASIC_INFORMATION LastSetRecord(PFILE_OBJECT file); // the record of the last set
unsigned OutstandingNames();                       // name information not released yet

// How a read completes, as its post-operation callback sees it.
struct ReadOptions {
    KIRQL irql = PASSIVE_LEVEL;
    bool guardedRegion = false;
    bool draining = false;
    bool fastIo = false;
    ULONG irpFlags = 0;
    NTSTATUS status = STATUS_SUCCESS;
};
// Reads the file: when the filter is registered and filtering, its post-read callback runs on the
// calling thread. Returns the callback's status (FLT_POSTOP_FINISHED_PROCESSING), or -1 if none ran.
int Read(PFILE_OBJECT file, const ReadOptions &options = ReadOptions());

// ---- pool, debugger, rule breaches
size_t PoolOutstanding(ULONG tag);      // allocations not freed
size_t PoolOutstandingBytes(ULONG tag);
size_t PoolAllocations(ULONG tag);      // allocations made since Reset
std::vector<std::string> DebugLines();  // DbgPrint output, one entry per call
std::vector<std::string> Violations();

} // namespace fltsim
