// The debug-message channel: formatting, the level filter and the procedure.
#include "diag/debug_msg.h"

#include "diag/osvprint.h"

std::atomic<PQRNDBG_MSG_PROC> gDebugMsgProc{nullptr};
std::atomic<PQRNDBG_TAP_PROC> gDebugTapProc{nullptr};

// Formats into a stack buffer for every call (a %n conversion takes effect even
// for a filtered message), then passes the text on. Any context.
VOID DubugMsgArgs(LONG level, PCSTR format, const OSV_ARG *args, ULONG count) {
  CHAR buffer[OSV_BUFFER_SIZE];
  OSV_ARG_CURSOR cursor{args, count, 0};
  OSvprint(buffer, format, &cursor);
  PQRNDBG_TAP_PROC tap = gDebugTapProc.load(std::memory_order_acquire);
  if (tap != nullptr)
    tap(level, buffer);
  PQRNDBG_MSG_PROC proc = gDebugMsgProc.load(std::memory_order_acquire);
  if (level <= gDebugLevel && proc != nullptr)
    proc(buffer);
}

// Replaces the procedure with the one the debug device offers now. Passive level.
VOID StartDebugMsg() {
  gDebugMsgProc.store(QRNDBG_GetAddMsgProc(), std::memory_order_release);
}

VOID DubugMsgSetTap(PQRNDBG_TAP_PROC proc) {
  gDebugTapProc.store(proc, std::memory_order_release);
}
