#include "runtime/OlvContainers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<void*> ListData(OlvLinkedList* list)
{
    std::vector<void*> data;
    for (tv::LinkedListNode* node = OlvLinkedList_First(list); node != nullptr;
         node = OlvLinkedList_Next(node))
        data.push_back(OlvLinkedList_Data(node));
    return data;
}

TEST(OlvLinkedList, KeepsHeadTailAndCountThroughInsertsAndRemovals)
{
    int a = 0, b = 0, c = 0, d = 0;
    OlvLinkedList* list = OlvLinkedList_Create();
    EXPECT_EQ(OlvLinkedList_First(list), nullptr);

    tv::LinkedListNode* only = OlvLinkedList_Append(list, &a);
    EXPECT_EQ(OlvLinkedList_RemoveNode(only), nullptr);
    EXPECT_EQ(OlvLinkedList_First(list), nullptr);
    EXPECT_EQ(OlvLinkedList_Count(list), 0);

    tv::LinkedListNode* nb = OlvLinkedList_Append(list, &b);
    OlvLinkedList_InsertBefore(nb, &a);  // new head
    tv::LinkedListNode* nd = OlvLinkedList_Append(list, &d);
    OlvLinkedList_InsertBefore(nd, &c);  // middle
    EXPECT_EQ(ListData(list), (std::vector<void*>{&a, &b, &c, &d}));
    EXPECT_EQ(OlvLinkedList_Count(list), 4);

    // Removing the tail moves it back, and appends land after the new tail.
    EXPECT_EQ(OlvLinkedList_RemoveNode(nd), nullptr);
    OlvLinkedList_Append(list, &a);
    EXPECT_EQ(ListData(list), (std::vector<void*>{&a, &b, &c, &a}));

    EXPECT_EQ(OlvLinkedList_RemoveData(list, &a), 2);
    EXPECT_EQ(OlvLinkedList_RemoveData(list, &d), 0);
    EXPECT_EQ(ListData(list), (std::vector<void*>{&b, &c}));
    EXPECT_EQ(OlvLinkedList_Count(list), 2);
    tv::LinkedListNode* next = OlvLinkedList_RemoveNode(OlvLinkedList_First(list));
    EXPECT_EQ(next, OlvLinkedList_First(list));
    EXPECT_EQ(OlvLinkedList_Data(next), &c);

    OlvLinkedList_Lock(list);
    OlvLinkedList_Unlock(list);
    OlvLinkedList_Destroy(list);  // with a node left: nodes freed, data untouched
}

TEST(OlvQueueAndStack, OrderAndEmptyBehaviour)
{
    int a = 0, b = 0, c = 0;
    OlvQueue* queue = OlvQueue_Create();
    EXPECT_EQ(OlvQueue_IsEmpty(queue), 1);
    EXPECT_EQ(OlvQueue_Take(queue), nullptr);
    EXPECT_EQ(OlvQueue_Peek(queue), nullptr);
    OlvQueue_Lock(queue);
    OlvQueue_Put(queue, &a);
    OlvQueue_Put(queue, &b);
    OlvQueue_Put(queue, &c);
    OlvQueue_Unlock(queue);
    EXPECT_EQ(OlvQueue_IsEmpty(queue), 0);
    EXPECT_EQ(OlvQueue_Peek(queue), &a);
    EXPECT_EQ(OlvQueue_Take(queue), &a);
    EXPECT_EQ(OlvQueue_Take(queue), &b);
    OlvQueue_Put(queue, &a);
    EXPECT_EQ(OlvQueue_Take(queue), &c);
    EXPECT_EQ(OlvQueue_Take(queue), &a);
    EXPECT_EQ(OlvQueue_Take(queue), nullptr);
    OlvQueue_Put(queue, &b);
    OlvQueue_Destroy(queue);

    OlvStack stack;
    OlvStack_Create(&stack);
    EXPECT_EQ(OlvStack_Pop(&stack), nullptr);
    EXPECT_EQ(OlvStack_Peek(&stack), nullptr);
    OlvStack_Push(&stack, &a);
    OlvStack_Push(&stack, &b);
    OlvStack_Push(&stack, &c);
    EXPECT_EQ(OlvStack_Peek(&stack), &c);
    EXPECT_EQ(OlvStack_Pop(&stack), &c);
    EXPECT_EQ(OlvStack_Pop(&stack), &b);
    OlvStack_Push(&stack, &c);
    OlvStack_Clear(&stack);
    EXPECT_EQ(stack, nullptr);
    EXPECT_EQ(OlvStack_Pop(&stack), nullptr);
}

TEST(OlvHashTree, HashIsTheFoldedWordXor)
{
    // Up to four bytes: the bytes themselves, little-endian.
    EXPECT_EQ(tv::HashTreeKeyHash("ab", 2, false), 0x6261u);
    EXPECT_EQ(tv::HashTreeKeyHash("HOST", 4, false), 0x54534f48u);
    EXPECT_EQ(tv::HashTreeKeyHash("HOST", 4, true), 0x74736f68u);
    // Five to nine bytes: first four XOR last four.
    EXPECT_EQ(tv::HashTreeKeyHash("Hello", 5, false), 0x0300092du);
    EXPECT_EQ(tv::HashTreeKeyHash("Hello", 5, true), 0x0300090du);
    EXPECT_EQ(tv::HashTreeKeyHash("123456789", 9, false), 0x0d0b0507u);
    // Ten or more: also the four bytes at len / 2.
    EXPECT_EQ(tv::HashTreeKeyHash("SOAPACTION", 10, false), 0x51475244u);
    EXPECT_EQ(tv::HashTreeKeyHash("Content-Length", 14, false), 0x727f4400u);
    EXPECT_EQ(tv::HashTreeKeyHash("Content-Length", 14, true), 0x727f6420u);
    EXPECT_EQ(tv::HashTreeKeyHash("CONTENT-LENGTH", 14, true), 0x727f6420u);
    EXPECT_EQ(tv::HashTreeKeyHash("abcdabcd", 8, false), 0u);
    // Only the given length counts, not what follows it.
    EXPECT_EQ(tv::HashTreeKeyHash("abXYZ", 2, false), 0x6261u);
}

TEST(OlvHashTree, CaselessAndCaseSensitiveLookups)
{
    int length = 0, other = 0;
    OlvHashTree* caseless = OlvHashTree_CreateCaseless();
    OlvHashTree* exact = OlvHashTree_Create();
    OlvHashTree_Put(caseless, "CONTENT-LENGTH", 14, &length);
    OlvHashTree_Put(exact, "CONTENT-LENGTH", 14, &length);
    EXPECT_EQ(OlvHashTree_Get(caseless, "Content-Length", 14), &length);
    EXPECT_EQ(OlvHashTree_Has(caseless, "content-length", 14), 1);
    EXPECT_EQ(OlvHashTree_Get(exact, "Content-Length", 14), nullptr);
    EXPECT_EQ(OlvHashTree_Has(exact, "CONTENT-LENGTH", 14), 1);
    // Same hash, different bytes: not a match.
    OlvHashTree_Put(exact, "abcdabcd", 8, &other);
    EXPECT_EQ(OlvHashTree_Get(exact, "bcdabcdb", 8), nullptr);
    EXPECT_EQ(OlvHashTree_Get(exact, "abcdabcd", 8), &other);
    // A key inside a larger buffer is taken at its length.
    const char buffer[] = "CONTENT-LENGTH: 10";
    EXPECT_EQ(OlvHashTree_Get(exact, buffer, 14), &length);
    EXPECT_EQ(OlvHashTree_Get(exact, buffer, 13), nullptr);
    // The empty key is neither stored nor found.
    OlvHashTree_Put(exact, "", 0, &other);
    EXPECT_EQ(OlvHashTree_Has(exact, "", 0), 0);
    EXPECT_EQ(OlvHashTree_Get(exact, "x", 0), nullptr);
    OlvHashTree_Lock(exact);
    OlvHashTree_Unlock(exact);
    OlvHashTree_Destroy(caseless);
    OlvHashTree_Destroy(exact);
}

std::vector<std::string> Keys(OlvHashTree* tree)
{
    std::vector<std::string> keys;
    tv::HashTreeEnumerator* e = OlvHashTree_Enumerate(tree);
    while (OlvHashTree_MoveNext(e) == 0) {
        const char* key = nullptr;
        int len = -1;
        OlvHashTree_Current(e, &key, &len, nullptr);
        EXPECT_EQ(key[len], '\0') << "the table keeps its own terminated copy";
        keys.emplace_back(key, static_cast<std::size_t>(len));
    }
    EXPECT_EQ(OlvHashTree_MoveNext(e), 1) << "stays at the end";
    OlvHashTree_EndEnumeration(e);
    return keys;
}

TEST(OlvHashTree, EnumeratesInInsertionOrderThroughUpdatesAndDeletes)
{
    int one = 1, two = 2, three = 3;
    OlvHashTree* tree = OlvHashTree_Create();
    EXPECT_TRUE(Keys(tree).empty());

    OlvHashTree_Put(tree, "Host", 4, &one);
    OlvHashTree_PutEx(tree, "abcdabcd", 8, &two, 7);  // hashes to 0, still an ordinary key
    OlvHashTree_Put(tree, "SOAPACTION", 10, &three);
    OlvHashTree_Put(tree, "Host", 4, &three);  // replaces the data, keeps the place
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"Host", "abcdabcd", "SOAPACTION"}));
    EXPECT_EQ(OlvHashTree_Get(tree, "Host", 4), &three);

    void* data = nullptr;
    int extra = -1;
    OlvHashTree_GetEx(tree, "abcdabcd", 8, &data, &extra);
    EXPECT_EQ(data, &two);
    EXPECT_EQ(extra, 7);
    OlvHashTree_GetEx(tree, "missing", 7, &data, &extra);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(extra, 0);

    // Deleting the last entry and then adding must still append at the end.
    OlvHashTree_Delete(tree, "SOAPACTION", 10);
    OlvHashTree_Delete(tree, "SOAPACTION", 10);
    OlvHashTree_Put(tree, "Range", 5, &one);
    OlvHashTree_Delete(tree, "Host", 4);
    OlvHashTree_Put(tree, "Host", 4, &two);
    EXPECT_EQ(Keys(tree), (std::vector<std::string>{"abcdabcd", "Range", "Host"}));

    tv::HashTreeEnumerator* e = OlvHashTree_Enumerate(tree);
    ASSERT_EQ(OlvHashTree_MoveNext(e), 0);
    const char* key = nullptr;
    int len = 0;
    OlvHashTree_CurrentEx(e, &key, &len, &data, &extra);
    EXPECT_EQ(std::string(key, static_cast<std::size_t>(len)), "abcdabcd");
    EXPECT_EQ(data, &two);
    EXPECT_EQ(extra, 7);
    ASSERT_EQ(OlvHashTree_MoveNext(e), 0);
    OlvHashTree_CurrentEx(e, nullptr, nullptr, nullptr, &extra);
    EXPECT_EQ(extra, 0) << "Put leaves extra at 0";
    OlvHashTree_EndEnumeration(e);
    OlvHashTree_Destroy(tree);
}

}  // namespace
