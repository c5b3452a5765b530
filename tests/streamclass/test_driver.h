// A small minidriver for testing the stream class host on its own: it registers
// through the same host as the camera driver, publishes one capture stream with one
// format, a device and a stream property set, and answers every request in a way
// the test chooses, including the wrong ways (completing twice, never, or through
// the wrong notification). Reads wait in a queue until the test fills or cancels
// them. One test at a time uses it; every function is thread-safe.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/streamclass/strmini.h"

namespace testdriver {

// How the driver completes a request of a command.
enum class Action {
  Complete,          // completes it at once (the default)
  CompleteTwice,     // completes it at once, then once more
  Never,             // keeps it and never completes it
  Hold,              // keeps it until the test calls complete_held()
  WrongNotification, // completes it through the other notification service
};

// Back to the defaults: every command completes at once with its ordinary answer,
// no request is kept, nothing is recorded, descriptor size as published.
void reset();

// How requests of `command` are completed from now on, and with which status (for
// Complete and its variants; the command's ordinary answer is replaced when `status`
// is not STATUS_SUCCESS).
void set_action(SRB_COMMAND command, Action action, NTSTATUS status = STATUS_SUCCESS);

// The StreamDescriptorSize the driver sets at SRB_INITIALIZE_DEVICE.
void set_descriptor_size(ULONG size);
ULONG published_descriptor_size();

// Makes the driver's TurnOffSynchronization FALSE at the next registration.
void set_synchronized(bool synchronized);

// Registers the test driver with the host.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// Succeeds without registering.
NTSTATUS DriverEntryWithoutRegistration(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// One request as the driver received it.
struct Received {
  SRB_COMMAND command;
  std::thread::id thread;
  bool extension_given; // SRBExtension of the registered size was there
  bool irp_given;
  ULONG flags;
};
std::vector<Received> received();
std::vector<SRB_COMMAND> commands();

// Requests kept by Hold, and their completion (oldest first) with `status`.
size_t held();
void complete_held(NTSTATUS status = STATUS_SUCCESS);

// Time-out and cancel callbacks so far.
size_t timeouts();
size_t cancels();

// Reads waiting in the stream's queue; the oldest is filled with `bytes` of `value`
// (at most its buffer) and completed with a frame number and a time from the master
// clock. False when no read waits.
size_t queued_reads();
bool fill_oldest_read(uint8_t value, ULONG bytes);

// What the stream was told.
KSSTATE stream_state();
HANDLE master_clock();
// Reads the master clock through the host (StreamClassQueryMasterClockSync).
ULONGLONG read_master_clock();

// The configuration the driver received with SRB_INITIALIZE_DEVICE.
PORT_CONFIGURATION_INFORMATION initialize_config();

// The zoom the device property set holds.
LONG zoom();

} // namespace testdriver
