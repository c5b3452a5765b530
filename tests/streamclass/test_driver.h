// A stand-in minidriver for the stream class host's own contracts, the ones
// the camera driver never breaks on purpose: it completes the requests of a
// command the way the test chooses, the wrong ways included (twice, never,
// through the other notification), keeps them for the test to complete later,
// publishes the stream descriptor the test makes, and queues reads until the
// test fills or cancels them. One capture stream with one format, no property
// sets. One test at a time uses it; every function is thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/kernel/io.h"
#include "platform/streamclass/strmini.h"

namespace testdriver {

// How the driver completes a request of a command.
enum class Action {
  Complete,          // at once (the default)
  CompleteTwice,     // at once, then once more
  Never,             // keeps it and never completes it
  Hold,              // keeps it until complete_held()
  WrongNotification, // at once, through the other notification service
};

// Back to the defaults: every command completes at once with STATUS_SUCCESS
// (unknown stream commands with STATUS_NOT_IMPLEMENTED), nothing kept or
// recorded, the descriptor as published.
void reset();

// How requests of `command` are completed from now on, with `status`.
void set_action(SRB_COMMAND command, Action action, NTSTATUS status = STATUS_SUCCESS);

// The StreamDescriptorSize set at SRB_INITIALIZE_DEVICE, and a change made to
// the descriptor SRB_GET_STREAM_INFO writes.
void set_descriptor(ULONG size, std::function<void(HW_STREAM_DESCRIPTOR &)> edit = {});

// Registers the stand-in with the host.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// The commands received so far, in order.
std::vector<SRB_COMMAND> commands();

// Requests kept by Hold, and their completion (oldest first) with `status`.
size_t held();
void complete_held(NTSTATUS status = STATUS_SUCCESS);

// Time-out and cancel callbacks so far.
size_t timeouts();
size_t cancels();

// Reads waiting in the stream's queue; the oldest is filled with a few bytes and
// completed (false when none waits).
size_t queued_reads();
bool fill_oldest_read();

} // namespace testdriver
