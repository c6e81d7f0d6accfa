// The record shared by the installer's uninstall progress page (the wizard's thread) and the
// uninstall worker that runs the decompression pass, and the hand-over of the current file name
// between them. Kept here, beside the pass that writes it, so the pass can be shared code.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/os.h"

constexpr int CurrentNameCapacity = 1024;

// Shared by the uninstall progress page (wizard thread) and the uninstall worker.
struct WorkerRecord {
  os::Handle thread;                        // 0 when no worker was started
  std::atomic<std::uint32_t> stopRequest;   // written by the wizard
  std::atomic<std::uint32_t> done;          // written by the worker, as its last act
  // The name of the file record being examined. Written by the worker and read by the wizard
  // through SetCurrentName/ReadCurrentName, which never hand out a torn name.
  std::atomic<std::uint32_t> nameSequence;
  char16_t currentName[CurrentNameCapacity];
};

// The current-name hand-over between the worker and the wizard: a reader gets only a name that
// was written whole. One writer (the worker) and any number of readers. A read never waits for
// the writer: false (and an empty name) when the worker was rewriting the name at each of a few
// tries; the reader then keeps showing the last name it got.
void SetCurrentName(WorkerRecord& record, const char16_t* name);
bool ReadCurrentName(WorkerRecord& record, char16_t* name, int capacity);
