// Intrusive doubly linked lists (LIST_ENTRY) and their inline helpers.
//
// A list head is a LIST_ENTRY whose Flink/Blink point at the first/last entry,
// or at the head itself when the list is empty. Entries are embedded in the
// records they link; CONTAINING_RECORD gets back from the entry to the record.
//
// The helpers do no locking: the caller protects each list with its own lock.
// They may run at any IRQL. Each checks the links it is about to change (as a
// checked kernel does): a head that was never initialised, a corrupted
// neighbour, an entry removed twice or a removal from an empty list is
// reported as platform misuse and the list is left untouched.
#pragma once

#include <cstddef>

#include "platform/kernel/ntdef.h"

struct LIST_ENTRY {
  LIST_ENTRY *Flink;
  LIST_ENTRY *Blink;
};
using PLIST_ENTRY = LIST_ENTRY *;

// Address of the record of type `type` whose member `field` is at `address`.
#define CONTAINING_RECORD(address, type, field)                                                              \
  (reinterpret_cast<type *>(reinterpret_cast<char *>(address) - offsetof(type, field)))

namespace platform {
// Reports a list misuse (out of line, in misuse.cpp).
void list_misuse(const char *message);
} // namespace platform

// Makes the list empty.
inline VOID InitializeListHead(PLIST_ENTRY ListHead) {
  ListHead->Flink = ListHead;
  ListHead->Blink = ListHead;
}

// TRUE when the list has no entry.
inline BOOLEAN IsListEmpty(const LIST_ENTRY *ListHead) {
  if (ListHead->Flink == nullptr) {
    platform::list_misuse("IsListEmpty on a list head that was never initialised");
    return TRUE;
  }
  return ListHead->Flink == ListHead ? TRUE : FALSE;
}

// TRUE when Entry can be unlinked: both neighbours point back at it.
inline bool ListEntryLinked(const LIST_ENTRY *Entry) {
  return Entry->Flink != nullptr && Entry->Blink != nullptr && Entry->Flink->Blink == Entry &&
         Entry->Blink->Flink == Entry;
}

// Unlinks Entry from its list; returns TRUE when the list is now empty.
// The unlinked entry's links are cleared, so a second removal is detected.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
  if (!ListEntryLinked(Entry)) {
    platform::list_misuse("RemoveEntryList on an entry that is not linked (removed twice or corrupted)");
    return FALSE;
  }
  PLIST_ENTRY flink = Entry->Flink;
  PLIST_ENTRY blink = Entry->Blink;
  blink->Flink = flink;
  flink->Blink = blink;
  if (flink != Entry) {
    Entry->Flink = nullptr;
    Entry->Blink = nullptr;
  }
  return flink == blink ? TRUE : FALSE;
}

// Unlinks and returns the first entry. On an empty list this is misuse and
// the head itself is returned (as the kernel's helper does).
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
  if (ListHead->Flink == nullptr || ListHead->Flink == ListHead) {
    platform::list_misuse("RemoveHeadList on an empty or uninitialised list");
    return ListHead;
  }
  PLIST_ENTRY entry = ListHead->Flink;
  RemoveEntryList(entry);
  return entry;
}

// Appends Entry at the end of the list.
inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
  PLIST_ENTRY last = ListHead->Blink;
  if (last == nullptr || last->Flink != ListHead) {
    platform::list_misuse("InsertTailList on a corrupted or uninitialised list head");
    return;
  }
  Entry->Flink = ListHead;
  Entry->Blink = last;
  last->Flink = Entry;
  ListHead->Blink = Entry;
}
