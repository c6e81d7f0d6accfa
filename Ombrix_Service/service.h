// Ombrix_Service: a service of its own process. Its worker sleeps an hour, runs one compression
// cycle over the drive letters C: to Z:, publishes the statistics file and hands the watched
// volumes to the filter, and repeats until the service is stopped.
#pragma once

#include <atomic>
#include <cstdint>

#include "Ombrix_Filter/OmbrixPort.h"
#include "common/stats_record.h"
#include "os/os.h"

#ifndef OMBRIX_CYCLE_INTERVAL_MS
#define OMBRIX_CYCLE_INTERVAL_MS 3600000
#endif

constexpr std::uint32_t CycleInterval = OMBRIX_CYCLE_INTERVAL_MS;   // counted in steps of 1000 ms
constexpr std::uint32_t CycleStep = 1000;

// Shared between the service's threads: set by the control handler, read by the worker.
struct PassControl {
  std::atomic<os::Handle> WorkerThread;   // stored by ServiceMain, waited on by the handler
  std::atomic<bool> AbortRequested;
  std::uint8_t QuotaReached;     // the cycle's new savings passed CycleQuota: compress no more
  std::int64_t CycleSaved;       // bytes saved by files compressed in this cycle
};

// Who settles whether the worker runs: the worker claims the gate when it starts; a stop that
// comes first closes it, and the worker then ends at once; ServiceMain marks it empty when no
// worker could be started. The handler thus knows whether there is a worker to wait for.
enum : int { WorkerGateOpen = 0, WorkerGateClaimed, WorkerGateClosed, WorkerGateNone };

struct ServiceState {
  std::atomic<os::Handle> StatusHandle;
  std::atomic<bool> StopRequested;
  std::atomic<bool> StopPendingReported;   // the handler's stop-pending report has been made
  std::atomic<int> WorkerGate;
  os::Handle FilterPort;
  PassControl Control;
  StatsRecord Published;   // the last record written to the statistics file
  StatsRecord Work;        // filled during a cycle
  std::int32_t NtfsType;
};

extern ServiceState Service;

// Service host and worker.
void ResetServiceState();   // all of ServiceState to zero
int ServiceProgramMain();
void ServiceMain(std::uint32_t argc, char16_t** argv);
void ServiceCtrlHandler(std::uint32_t control);
void ReportStatus(int kind);
std::uint32_t WorkerThread(void* parameter);
void RunCycle();

// The volume pass: bytes saved on the volume by its compressed files.
std::int64_t CompressVolume(const char16_t* drive, PassControl& control);

// Filter hand-off.
void BuildVolumeList(VolumeListMessage& message);
bool ConnectFilter();

// Statistics file.
void WriteStatsFile();
