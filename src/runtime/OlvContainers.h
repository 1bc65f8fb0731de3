// Small containers of untyped pointers: a doubly linked list, a FIFO queue on top of it, a
// caller-held LIFO stack and a string-keyed table kept in insertion order. None of them owns
// the data pointers it stores. No operation locks by itself: a caller that shares a container
// between threads brackets its operations with the container's Lock/Unlock (a plain,
// non-recursive mutex).
#pragma once

#include <cstdint>

namespace tv {
struct LinkedListNode;
struct StackNode;
struct HashTreeEnumerator;
}  // namespace tv

// ---- OlvLinkedList -------------------------------------------------------------------------

struct OlvLinkedList;

[[nodiscard]] OlvLinkedList* OlvLinkedList_Create() noexcept;
// Frees every node (not the data), then the list.
void OlvLinkedList_Destroy(OlvLinkedList* list) noexcept;

// Null when the list is empty / at the end.
tv::LinkedListNode* OlvLinkedList_First(OlvLinkedList* list) noexcept;
tv::LinkedListNode* OlvLinkedList_Next(tv::LinkedListNode* node) noexcept;
void* OlvLinkedList_Data(tv::LinkedListNode* node) noexcept;
int OlvLinkedList_Count(OlvLinkedList* list) noexcept;

// New node at the tail.
tv::LinkedListNode* OlvLinkedList_Append(OlvLinkedList* list, void* data) noexcept;
// New node linked just before `node`.
tv::LinkedListNode* OlvLinkedList_InsertBefore(tv::LinkedListNode* node, void* data) noexcept;
// Unlinks and frees `node`; returns the node that followed it, or null.
tv::LinkedListNode* OlvLinkedList_RemoveNode(tv::LinkedListNode* node) noexcept;
// Removes every node whose data pointer equals `data`; returns how many.
int OlvLinkedList_RemoveData(OlvLinkedList* list, void* data) noexcept;

void OlvLinkedList_Lock(OlvLinkedList* list) noexcept;
void OlvLinkedList_Unlock(OlvLinkedList* list) noexcept;

// ---- OlvQueue ------------------------------------------------------------------------------

struct OlvQueue;

[[nodiscard]] OlvQueue* OlvQueue_Create() noexcept;
void OlvQueue_Destroy(OlvQueue* queue) noexcept;
void OlvQueue_Lock(OlvQueue* queue) noexcept;
void OlvQueue_Unlock(OlvQueue* queue) noexcept;
void OlvQueue_Put(OlvQueue* queue, void* data) noexcept;
// Data of the head, which is removed; null when empty.
void* OlvQueue_Take(OlvQueue* queue) noexcept;
// Data of the head without removing it; null when empty.
void* OlvQueue_Peek(OlvQueue* queue) noexcept;
// 1 when empty, 0 otherwise.
int OlvQueue_IsEmpty(OlvQueue* queue) noexcept;

// ---- OlvStack ------------------------------------------------------------------------------

// The caller owns the top pointer; the operations take its address. No lock.
using OlvStack = tv::StackNode*;

void OlvStack_Create(OlvStack* top) noexcept;
void OlvStack_Push(OlvStack* top, void* data) noexcept;
// Null when empty.
void* OlvStack_Pop(OlvStack* top) noexcept;
void* OlvStack_Peek(OlvStack* top) noexcept;
void OlvStack_Clear(OlvStack* top) noexcept;

// ---- OlvHashTree ---------------------------------------------------------------------------

// Keys are pointer plus length and need not be NUL-terminated; a key of length 0 (or less) is
// never stored and never found. Entries enumerate in insertion order.
struct OlvHashTree;

[[nodiscard]] OlvHashTree* OlvHashTree_Create() noexcept;
// Keys compare ignoring ASCII case.
[[nodiscard]] OlvHashTree* OlvHashTree_CreateCaseless() noexcept;
// Frees every entry with its key copy, then the tree (never the data).
void OlvHashTree_Destroy(OlvHashTree* tree) noexcept;

int OlvHashTree_Has(OlvHashTree* tree, const char* key, int len) noexcept;
// Finds or creates the entry and sets its data; an old value is overwritten, not freed.
void OlvHashTree_Put(OlvHashTree* tree, const char* key, int len, void* data) noexcept;
void OlvHashTree_PutEx(OlvHashTree* tree, const char* key, int len, void* data, int extra) noexcept;
// Null when absent.
void* OlvHashTree_Get(OlvHashTree* tree, const char* key, int len) noexcept;
// Both outputs null/0 when absent.
void OlvHashTree_GetEx(OlvHashTree* tree, const char* key, int len, void** data,
                       int* extra) noexcept;
// No effect when absent.
void OlvHashTree_Delete(OlvHashTree* tree, const char* key, int len) noexcept;

void OlvHashTree_Lock(OlvHashTree* tree) noexcept;
void OlvHashTree_Unlock(OlvHashTree* tree) noexcept;

// Positioned before the first entry. Loop: while (OlvHashTree_MoveNext(e) == 0) read Current.
// The enumerator does not lock the table; the table must not change while it is in use.
[[nodiscard]] tv::HashTreeEnumerator* OlvHashTree_Enumerate(OlvHashTree* tree) noexcept;
// Advances; 0 while it stands on an entry, 1 at the end.
int OlvHashTree_MoveNext(tv::HashTreeEnumerator* enumerator) noexcept;
// Any output pointer may be null. `key` points at the table's own NUL-terminated copy.
void OlvHashTree_Current(tv::HashTreeEnumerator* enumerator, const char** key, int* len,
                         void** data) noexcept;
void OlvHashTree_CurrentEx(tv::HashTreeEnumerator* enumerator, const char** key, int* len,
                           void** data, int* extra) noexcept;
void OlvHashTree_EndEnumeration(tv::HashTreeEnumerator* enumerator) noexcept;

namespace tv {
// The table's key hash (published so that its exact value can be checked).
std::uint32_t HashTreeKeyHash(const char* key, int len, bool caseless) noexcept;
}  // namespace tv
