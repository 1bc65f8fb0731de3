// Linked list, queue, stack and insertion-ordered hash table of untyped pointers. Any thread,
// with the caller holding the container's lock where the container is shared.
#include "runtime/OlvContainers.h"

#include <cstring>
#include <mutex>
#include <new>

#include "runtime/Memory.h"
#include "runtime/OlvParsers.h"

namespace tv {

struct LinkedListNode {
    void* data = nullptr;
    OlvLinkedList* list = nullptr;
    LinkedListNode* next = nullptr;
    LinkedListNode* prev = nullptr;
};

struct StackNode {
    void* data = nullptr;
    StackNode* next = nullptr;
};

struct HashTreeEntry {
    HashTreeEntry* next = nullptr;
    HashTreeEntry* prev = nullptr;
    std::uint32_t hash = 0;
    char* key = nullptr;
    int key_length = 0;
    void* data = nullptr;
    int extra = 0;
};

struct HashTreeEnumerator {
    HashTreeEntry* current = nullptr;
};

}  // namespace tv

struct OlvLinkedList {
    std::mutex lock;
    int count = 0;
    tv::LinkedListNode* head = nullptr;
    tv::LinkedListNode* tail = nullptr;
};

struct OlvQueue {
    OlvLinkedList list;
};

struct OlvHashTree {
    tv::HashTreeEntry first;  // sentinel; real entries follow through `next`
    tv::HashTreeEntry* last = &first;
    bool caseless = false;
    std::mutex lock;
};

// ---- OlvLinkedList -------------------------------------------------------------------------

OlvLinkedList* OlvLinkedList_Create() noexcept
{
    return new OlvLinkedList;
}

void OlvLinkedList_Destroy(OlvLinkedList* list) noexcept
{
    if (list == nullptr) return;
    tv::LinkedListNode* node = list->head;
    while (node != nullptr) {
        tv::LinkedListNode* next = node->next;
        delete node;
        node = next;
    }
    delete list;
}

tv::LinkedListNode* OlvLinkedList_First(OlvLinkedList* list) noexcept
{
    return list->head;
}

tv::LinkedListNode* OlvLinkedList_Next(tv::LinkedListNode* node) noexcept
{
    return node == nullptr ? nullptr : node->next;
}

void* OlvLinkedList_Data(tv::LinkedListNode* node) noexcept
{
    return node == nullptr ? nullptr : node->data;
}

int OlvLinkedList_Count(OlvLinkedList* list) noexcept
{
    return list->count;
}

tv::LinkedListNode* OlvLinkedList_Append(OlvLinkedList* list, void* data) noexcept
{
    auto* node = new tv::LinkedListNode{data, list, nullptr, list->tail};
    if (list->tail != nullptr)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    ++list->count;
    return node;
}

tv::LinkedListNode* OlvLinkedList_InsertBefore(tv::LinkedListNode* node, void* data) noexcept
{
    OlvLinkedList* list = node->list;
    auto* inserted = new tv::LinkedListNode{data, list, node, node->prev};
    if (node->prev != nullptr)
        node->prev->next = inserted;
    else
        list->head = inserted;
    node->prev = inserted;
    ++list->count;
    return inserted;
}

tv::LinkedListNode* OlvLinkedList_RemoveNode(tv::LinkedListNode* node) noexcept
{
    if (node == nullptr) return nullptr;
    OlvLinkedList* list = node->list;
    tv::LinkedListNode* next = node->next;
    if (node->prev != nullptr)
        node->prev->next = next;
    else
        list->head = next;
    if (next != nullptr)
        next->prev = node->prev;
    else
        list->tail = node->prev;
    --list->count;
    delete node;
    return next;
}

int OlvLinkedList_RemoveData(OlvLinkedList* list, void* data) noexcept
{
    int removed = 0;
    tv::LinkedListNode* node = list->head;
    while (node != nullptr) {
        if (node->data == data) {
            node = OlvLinkedList_RemoveNode(node);
            ++removed;
        } else {
            node = node->next;
        }
    }
    return removed;
}

void OlvLinkedList_Lock(OlvLinkedList* list) noexcept
{
    list->lock.lock();
}

void OlvLinkedList_Unlock(OlvLinkedList* list) noexcept
{
    list->lock.unlock();
}

// ---- OlvQueue ------------------------------------------------------------------------------

OlvQueue* OlvQueue_Create() noexcept
{
    return new OlvQueue;
}

void OlvQueue_Destroy(OlvQueue* queue) noexcept
{
    if (queue == nullptr) return;
    while (queue->list.head != nullptr) OlvLinkedList_RemoveNode(queue->list.head);
    delete queue;
}

void OlvQueue_Lock(OlvQueue* queue) noexcept
{
    queue->list.lock.lock();
}

void OlvQueue_Unlock(OlvQueue* queue) noexcept
{
    queue->list.lock.unlock();
}

void OlvQueue_Put(OlvQueue* queue, void* data) noexcept
{
    OlvLinkedList_Append(&queue->list, data);
}

void* OlvQueue_Take(OlvQueue* queue) noexcept
{
    tv::LinkedListNode* head = queue->list.head;
    if (head == nullptr) return nullptr;
    void* data = head->data;
    OlvLinkedList_RemoveNode(head);
    return data;
}

void* OlvQueue_Peek(OlvQueue* queue) noexcept
{
    return queue->list.head == nullptr ? nullptr : queue->list.head->data;
}

int OlvQueue_IsEmpty(OlvQueue* queue) noexcept
{
    return queue->list.head == nullptr ? 1 : 0;
}

// ---- OlvStack ------------------------------------------------------------------------------

void OlvStack_Create(OlvStack* top) noexcept
{
    *top = nullptr;
}

void OlvStack_Push(OlvStack* top, void* data) noexcept
{
    *top = new tv::StackNode{data, *top};
}

void* OlvStack_Pop(OlvStack* top) noexcept
{
    tv::StackNode* node = *top;
    if (node == nullptr) return nullptr;
    void* data = node->data;
    *top = node->next;
    delete node;
    return data;
}

void* OlvStack_Peek(OlvStack* top) noexcept
{
    return *top == nullptr ? nullptr : (*top)->data;
}

void OlvStack_Clear(OlvStack* top) noexcept
{
    while (*top != nullptr) OlvStack_Pop(top);
    *top = nullptr;
}

// ---- OlvHashTree ---------------------------------------------------------------------------

namespace {

unsigned char KeyByte(char c, bool caseless) noexcept
{
    return static_cast<unsigned char>(caseless ? tv::ToLowerAscii(c) : c);
}

// Four bytes read as a little-endian integer, whatever the host order.
std::uint32_t Word(const char* bytes, bool caseless) noexcept
{
    std::uint32_t word = 0;
    for (int i = 3; i >= 0; --i) word = (word << 8) | KeyByte(bytes[i], caseless);
    return word;
}

bool KeysEqual(const char* a, const char* b, int len, bool caseless) noexcept
{
    const auto size = static_cast<std::size_t>(len);
    if (!caseless) return std::memcmp(a, b, size) == 0;
    return tv::EqualsCaseless({a, size}, {b, size});
}

tv::HashTreeEntry* Find(OlvHashTree* tree, const char* key, int len) noexcept
{
    if (key == nullptr || len <= 0) return nullptr;
    std::uint32_t hash = tv::HashTreeKeyHash(key, len, tree->caseless);
    for (tv::HashTreeEntry* entry = tree->first.next; entry != nullptr; entry = entry->next) {
        if (entry->hash == hash && entry->key_length == len &&
            KeysEqual(entry->key, key, len, tree->caseless))
            return entry;
    }
    return nullptr;
}

tv::HashTreeEntry* FindOrCreate(OlvHashTree* tree, const char* key, int len) noexcept
{
    if (key == nullptr || len <= 0) return nullptr;
    tv::HashTreeEntry* entry = Find(tree, key, len);
    if (entry != nullptr) return entry;
    entry = new tv::HashTreeEntry;
    entry->hash = tv::HashTreeKeyHash(key, len, tree->caseless);
    entry->key = tv::CopyBytes(key, static_cast<std::size_t>(len));
    entry->key_length = len;
    entry->prev = tree->last;
    tree->last->next = entry;
    tree->last = entry;
    return entry;
}

OlvHashTree* NewTree(bool caseless) noexcept
{
    auto* tree = new OlvHashTree;
    tree->caseless = caseless;
    return tree;
}

}  // namespace

std::uint32_t tv::HashTreeKeyHash(const char* key, int len, bool caseless) noexcept
{
    if (key == nullptr || len <= 0) return 0;
    if (len <= 4) {
        std::uint32_t hash = 0;
        for (int i = len - 1; i >= 0; --i) hash = (hash << 8) | KeyByte(key[i], caseless);
        return hash;
    }
    std::uint32_t hash = Word(key, caseless) ^ Word(key + len - 4, caseless);
    if (len >= 10) hash ^= Word(key + len / 2, caseless);
    return hash;
}

OlvHashTree* OlvHashTree_Create() noexcept
{
    return NewTree(false);
}

OlvHashTree* OlvHashTree_CreateCaseless() noexcept
{
    return NewTree(true);
}

void OlvHashTree_Destroy(OlvHashTree* tree) noexcept
{
    if (tree == nullptr) return;
    tv::HashTreeEntry* entry = tree->first.next;
    while (entry != nullptr) {
        tv::HashTreeEntry* next = entry->next;
        tv::Free(entry->key);
        delete entry;
        entry = next;
    }
    delete tree;
}

int OlvHashTree_Has(OlvHashTree* tree, const char* key, int len) noexcept
{
    return Find(tree, key, len) != nullptr ? 1 : 0;
}

void OlvHashTree_Put(OlvHashTree* tree, const char* key, int len, void* data) noexcept
{
    tv::HashTreeEntry* entry = FindOrCreate(tree, key, len);
    if (entry != nullptr) entry->data = data;
}

void OlvHashTree_PutEx(OlvHashTree* tree, const char* key, int len, void* data, int extra) noexcept
{
    tv::HashTreeEntry* entry = FindOrCreate(tree, key, len);
    if (entry == nullptr) return;
    entry->data = data;
    entry->extra = extra;
}

void* OlvHashTree_Get(OlvHashTree* tree, const char* key, int len) noexcept
{
    tv::HashTreeEntry* entry = Find(tree, key, len);
    return entry == nullptr ? nullptr : entry->data;
}

void OlvHashTree_GetEx(OlvHashTree* tree, const char* key, int len, void** data,
                       int* extra) noexcept
{
    tv::HashTreeEntry* entry = Find(tree, key, len);
    if (data != nullptr) *data = entry == nullptr ? nullptr : entry->data;
    if (extra != nullptr) *extra = entry == nullptr ? 0 : entry->extra;
}

void OlvHashTree_Delete(OlvHashTree* tree, const char* key, int len) noexcept
{
    tv::HashTreeEntry* entry = Find(tree, key, len);
    if (entry == nullptr) return;
    entry->prev->next = entry->next;
    if (entry->next != nullptr)
        entry->next->prev = entry->prev;
    else
        tree->last = entry->prev;
    tv::Free(entry->key);
    delete entry;
}

void OlvHashTree_Lock(OlvHashTree* tree) noexcept
{
    tree->lock.lock();
}

void OlvHashTree_Unlock(OlvHashTree* tree) noexcept
{
    tree->lock.unlock();
}

tv::HashTreeEnumerator* OlvHashTree_Enumerate(OlvHashTree* tree) noexcept
{
    return new tv::HashTreeEnumerator{&tree->first};
}

int OlvHashTree_MoveNext(tv::HashTreeEnumerator* enumerator) noexcept
{
    if (enumerator->current != nullptr) enumerator->current = enumerator->current->next;
    return enumerator->current != nullptr ? 0 : 1;
}

void OlvHashTree_Current(tv::HashTreeEnumerator* enumerator, const char** key, int* len,
                         void** data) noexcept
{
    OlvHashTree_CurrentEx(enumerator, key, len, data, nullptr);
}

void OlvHashTree_CurrentEx(tv::HashTreeEnumerator* enumerator, const char** key, int* len,
                           void** data, int* extra) noexcept
{
    // Past the end the outputs read as an absent entry rather than a dangling one.
    const tv::HashTreeEntry* entry = enumerator->current;
    if (key != nullptr) *key = entry == nullptr ? nullptr : entry->key;
    if (len != nullptr) *len = entry == nullptr ? 0 : entry->key_length;
    if (data != nullptr) *data = entry == nullptr ? nullptr : entry->data;
    if (extra != nullptr) *extra = entry == nullptr ? 0 : entry->extra;
}

void OlvHashTree_EndEnumeration(tv::HashTreeEnumerator* enumerator) noexcept
{
    delete enumerator;
}
