// The debug-message channel: every part of the driver logs through
// DubugMsg(level, format, ...). Each message is formatted into a 512-byte stack
// buffer and, when its level passes the filter and the debug device offers a
// message procedure, handed to that procedure as it stands (the driver adds no
// prefix and no line end).
#pragma once

#include "diag/osv_args.h"
#include "platform/kernel/ntdef.h"

#include <atomic>

// The debug device's message procedure: one NUL-terminated 8-bit text per call.
// It is called from any thread and context, several at once, dispatch level
// included; its result is not used.
using PQRNDBG_MSG_PROC = VOID (*)(const CHAR *text);

// The highest level passed on: 1 thread start and end, 2 errors and USB
// discovery, 3 ordinary progress; 4 (queue and protocol detail) is dropped.
inline constexpr LONG gDebugLevel = 3;

// Where messages go; NULL means nowhere. Written only by StartDebugMsg (device
// initialization) and read by every logging thread, hence atomic.
extern std::atomic<PQRNDBG_MSG_PROC> gDebugMsgProc;

// A trace tap sees every message the driver formats, whatever its level, before
// the level filter: the most detailed log of the tool and the tests' view of the
// level-4 detail that the debug channel drops. It is not part of the channel and
// leaves gDebugMsgProc and gDebugLevel alone. Called like the message procedure:
// from any thread and context, several at once.
using PQRNDBG_TAP_PROC = VOID (*)(LONG level, const CHAR *text);

// The tap in place, or NULL. Set by DubugMsgSetTap, read by every logging thread.
extern std::atomic<PQRNDBG_TAP_PROC> gDebugTapProc;

// Puts a tap in place (NULL removes it). A removed tap may still be running a
// call that started before; the caller keeps what it uses alive until no other
// thread is logging.
VOID DubugMsgSetTap(PQRNDBG_TAP_PROC proc);

// Formats a message from its captured arguments, shows it to the trace tap if
// one is in place, and passes it on when level is at most gDebugLevel and
// gDebugMsgProc is set. Uses about 1.2 KB of stack,
// allocates nothing, takes no lock: any thread, any context, dispatch level
// included. Called through DubugMsg.
VOID DubugMsgArgs(LONG level, PCSTR format, const OSV_ARG *args, ULONG count);

// Logs one message: format is a printf-style text (see diag/osvprint.h), the
// arguments are integers, enums or pointers, each captured with its type.
// Messages are formatted whatever their level. Any context.
template <typename... ARGS> inline VOID DubugMsg(LONG level, PCSTR format, ARGS... args) {
  const OSV_ARG slots[sizeof...(ARGS) + 1] = {osv::capture_arg(args)..., OSV_ARG{0, OsvArgInteger}};
  DubugMsgArgs(level, format, slots, static_cast<ULONG>(sizeof...(ARGS)));
}

// Opens the channel: looks the debug device up again and keeps its message
// procedure (NULL when the device is absent). Called at the start of every
// device initialization, at passive level.
VOID StartDebugMsg();

// Returns the message procedure of the debug device "\Device\QrnDebug", or NULL
// when there is no such device. Passive level; may block briefly on the I/O
// manager's device list.
PQRNDBG_MSG_PROC QRNDBG_GetAddMsgProc();
