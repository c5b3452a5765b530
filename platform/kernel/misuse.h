// The platform's strictness reporter.
//
// Every misuse that a real kernel would punish (a bug check, a corrupted pool,
// a hang) is recorded here with a category and a message, printed to stderr,
// and the platform carries on as safely as it can. Tests read and clear the
// records; the test fixture fails any test that leaves one behind.
//
// Thread-safe: every function may be called from any thread, at any IRQL,
// with any platform lock held (the reporter takes only its own leaf lock).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace platform {

// What kind of service was misused.
enum class MisuseCategory {
  Pool,     // double free, foreign free, guard overrun, bad pool type
  SpinLock, // release by a non-owner, release of a free lock, recursive acquire
  Irql,     // wait at DISPATCH_LEVEL, bad raise/lower, return at raised IRQL
  Wait,     // wait on an uninitialised or unknown object
  List,     // corrupted or uninitialised LIST_ENTRY, removal from an empty list
  Object,   // reference count underflow, unknown object, bad handle
  Thread,   // thread creation or priority misuse
  WorkItem, // item queued twice, no routine
  Irp,      // completed twice, freed in flight, no stack location left
  Mdl,      // MDL misuse (unbuilt MDL mapped, foreign MDL freed)
  Device,   // device or driver object misuse
  Request,  // stream class request accounting (the stream class host)
  Usb,      // USB bus driver contract (the bus driver)
  Other,
};

// One recorded misuse.
struct MisuseReport {
  MisuseCategory category;
  std::string message;
};

// What the reporter does besides recording.
enum class MisuseAction {
  Record, // record, print, continue (default)
  Abort,  // record, print, abort() (for debugging under a debugger)
};

// Records a misuse. Prints "platform misuse [category]: message" to stderr
// unless echo is off. Never blocks beyond the reporter's own leaf lock.
void misuse_report(MisuseCategory category, std::string message);

// printf-style convenience for misuse_report.
void misuse_reportf(MisuseCategory category, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Takes (returns and clears) all records so far, oldest first.
std::vector<MisuseReport> misuse_take();

// Drops all records.
void misuse_clear();

// Chooses whether reports are printed to stderr (default: yes).
void misuse_set_echo(bool echo);

// Chooses what happens after a report (default: Record).
void misuse_set_action(MisuseAction action);

// Short lower-case name of a category ("pool", "spinlock", ...).
const char *misuse_category_name(MisuseCategory category);

} // namespace platform
