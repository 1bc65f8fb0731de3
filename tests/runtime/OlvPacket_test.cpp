#include "runtime/OlvPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/Memory.h"
#include "support/GuardedBuffer.h"

namespace {

std::string View(const char* data, int length)
{
    return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(length));
}

std::string Serialize(OlvPacket* packet)
{
    char* out = nullptr;
    int length = OlvPacket_Serialize(packet, &out);
    std::string text(out, static_cast<std::size_t>(length));
    EXPECT_EQ(out[length], '\0');
    tv::Free(out);
    return text;
}

std::vector<std::string> ListHeaders(const OlvPacket* packet)
{
    std::vector<std::string> lines;
    for (const tv::PacketHeader* node = packet->first_header; node != nullptr; node = node->next) {
        lines.push_back(View(node->name, node->name_length) + "=" +
                        View(node->value, node->value_length));
    }
    return lines;
}

std::string Header(OlvPacket* packet, const char* name)
{
    const char* value = OlvPacket_GetHeader(packet, name, static_cast<int>(std::strlen(name)));
    return value == nullptr ? std::string("<absent>") : std::string(value);
}

}  // namespace

TEST(OlvPacket, ParsesRequestLineAndHeadersInPlace)
{
    tv::GuardedBuffer input("GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    OlvPacket* packet = OlvPacket_Parse(input.data(), 0, input.size());
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(View(packet->method, packet->method_length), "GET");
    EXPECT_EQ(View(packet->path, packet->path_length), "/a");
    EXPECT_EQ(View(packet->version, packet->version_length), "1.1");
    EXPECT_EQ(packet->status_code, -1);
    // Terminated in place: the strings read as C strings and point into the buffer.
    EXPECT_STREQ(packet->method, "GET");
    EXPECT_STREQ(packet->path, "/a");
    EXPECT_STREQ(packet->version, "1.1");
    EXPECT_EQ(packet->method, input.data());
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"Host=x"}));
    EXPECT_EQ(packet->first_header->owned, 0);
    EXPECT_EQ(Header(packet, "host"), "x");
    EXPECT_EQ(Serialize(packet), "GET /a HTTP/1.1\r\nHost: x\r\n\r\n");
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, ParsesStatusLines)
{
    char found[] = "HTTP/1.1 404 Not Found\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(found, 0, static_cast<int>(std::strlen(found)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(View(packet->version, packet->version_length), "1.1");
    EXPECT_EQ(packet->status_code, 404);
    EXPECT_EQ(View(packet->reason, packet->reason_length), "Not Found");
    EXPECT_EQ(packet->method, nullptr);
    EXPECT_EQ(Serialize(packet), "HTTP/1.1 404 Not Found\r\n\r\n");
    OlvPacket_Destroy(packet);

    char no_reason[] = "HTTP/1.0 200\r\nA: b\r\n\r\n";
    packet = OlvPacket_Parse(no_reason, 0, static_cast<int>(std::strlen(no_reason)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->status_code, 200);
    EXPECT_EQ(packet->reason_length, 0);
    EXPECT_EQ(Header(packet, "A"), "b");
    OlvPacket_Destroy(packet);

    char no_code[] = "HTTP/1.1\r\n\r\n";
    packet = OlvPacket_Parse(no_code, 0, static_cast<int>(std::strlen(no_code)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->status_code, 0);
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, RejectsRequestLinesWithOneToken)
{
    for (const char* text : {"GET\r\nHost: x\r\n\r\n", "", "\r\n\r\n", "NOTIFY"}) {
        tv::GuardedBuffer input(text);
        EXPECT_EQ(OlvPacket_Parse(input.data(), 0, input.size()), nullptr) << text;
    }
}

TEST(OlvPacket, DuplicateHeadersKeepFirstSpellingAndLastValue)
{
    char text[] = "NOTIFY * HTTP/1.1\r\nFoo: 1\r\nfoo: 2\r\nBar: 3\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(text, 0, static_cast<int>(std::strlen(text)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"Foo=1", "foo=2", "Bar=3"}));
    EXPECT_EQ(Header(packet, "FOO"), "2");
    EXPECT_EQ(Header(packet, "bAR"), "3");
    EXPECT_EQ(Header(packet, "Fo"), "<absent>");
    EXPECT_EQ(Serialize(packet), "NOTIFY * HTTP/1.1\r\nFoo: 2\r\nBar: 3\r\n\r\n");

    // Deleted from the table only: not found, not written, still listed.
    OlvPacket_DeleteHeader(packet, "FOO", 3);
    EXPECT_EQ(Header(packet, "Foo"), "<absent>");
    EXPECT_EQ(Serialize(packet), "NOTIFY * HTTP/1.1\r\nBar: 3\r\n\r\n");
    EXPECT_EQ(ListHeaders(packet).size(), 3u);

    // An added header of a known name (any case) replaces the value, keeps the spelling.
    OlvPacket_AddHeader(packet, "BAR", 3, "4", 1);
    EXPECT_EQ(Header(packet, "bar"), "4");
    EXPECT_EQ(Serialize(packet), "NOTIFY * HTTP/1.1\r\nBar: 4\r\n\r\n");
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, TrimsValuesButNotNames)
{
    char text[] =
        "GET / HTTP/1.1\r\nX:   value  \r\nY :v\r\nZ:\r\nW: \b a b \r\nno colon here\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(text, 0, static_cast<int>(std::strlen(text)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"X=value", "Y =v", "Z=", "W=a b"}));
    EXPECT_EQ(Header(packet, "X"), "value");
    EXPECT_EQ(Header(packet, "Y "), "v");
    EXPECT_EQ(Header(packet, "Y"), "<absent>");
    EXPECT_EQ(Header(packet, "Z"), "");
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, ContinuationLinesExtendTheListValueOnly)
{
    char text[] = "HTTP/1.1 200 OK\r\nX: a\r\n  b\r\n\tc\r\nY: 1\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(text, 0, static_cast<int>(std::strlen(text)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"X=a bc", "Y=1"}));
    EXPECT_EQ(packet->first_header->owned, 1);
    EXPECT_EQ(Header(packet, "X"), "a");
    OlvPacket_Destroy(packet);

    // Continuations with no header, or after a line without a colon, are dropped.
    char orphan[] = "GET / HTTP/1.1\r\n lost\r\nbroken line\r\n more\r\nA: 1\r\n\r\n";
    packet = OlvPacket_Parse(orphan, 0, static_cast<int>(std::strlen(orphan)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"A=1"}));
    OlvPacket_Destroy(packet);

    // Everything after the empty line is body, not header.
    char body[] = "GET / HTTP/1.1\r\nA: 1\r\n\r\nB: 2\r\n";
    packet = OlvPacket_Parse(body, 0, static_cast<int>(std::strlen(body)));
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"A=1"}));
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, SerialisesBuiltPacketsAndFoldsLongValues)
{
    OlvPacket* packet = OlvPacket_Create();
    OlvPacket_SetDirective(packet, "GET", 3, "/", 1);
    EXPECT_EQ(Serialize(packet), "GET / HTTP/1.0\r\n\r\n");
    OlvPacket_Destroy(packet);

    packet = OlvPacket_Create();
    OlvPacket_SetStatus(packet, 206, "Partial Content", 15);
    OlvPacket_SetVersion(packet, "1.1", 3);
    std::string short_value(1599, 's');
    std::string long_value(1600, 'l');
    long_value[800] = 'M';
    OlvPacket_AddHeader(packet, "Short", 5, short_value.data(), 1599);
    OlvPacket_AddHeader(packet, "Long", 4, long_value.data(), 1600);
    packet->body = static_cast<char*>(tv::Malloc(4));
    std::memcpy(packet->body, "a\0bc", 4);
    packet->body_length = 4;
    std::string expected = "HTTP/1.1 206 Partial Content\r\nShort: " + short_value +
                           "\r\nLong: " + long_value.substr(0, 800) + "\r\n " +
                           long_value.substr(800) + "\r\n\r\n" + std::string("a\0bc", 4);
    EXPECT_EQ(Serialize(packet), expected);
    OlvPacket_Destroy(packet);
}

TEST(OlvPacket, CloneIsIndependentOfTheReceiveBuffer)
{
    std::string buffer =
        "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
        "X: a\r\n  b\r\nGone: 1\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(buffer.data(), 0, static_cast<int>(buffer.size()));
    ASSERT_NE(packet, nullptr);
    int marker = 0;
    packet->owner1 = &marker;
    OlvPacket_DeleteHeader(packet, "gone", 4);
    OlvPacket* clone = OlvPacket_Clone(packet);
    OlvPacket_Destroy(packet);
    buffer.assign(buffer.size(), '#');

    EXPECT_EQ(clone->all_private, 1);
    EXPECT_EQ(clone->owner1, &marker);
    EXPECT_EQ(View(clone->method, clone->method_length), "M-SEARCH");
    EXPECT_EQ(View(clone->path, clone->path_length), "*");
    EXPECT_EQ(View(clone->version, clone->version_length), "1.1");
    EXPECT_EQ(clone->status_code, -1);
    EXPECT_EQ(Header(clone, "man"), "\"ssdp:discover\"");
    EXPECT_EQ(Header(clone, "x"), "a b");  // the clone reads the whole folded value
    EXPECT_EQ(Header(clone, "Gone"), "<absent>");
    EXPECT_EQ(Serialize(clone),
              "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
              "MAN: \"ssdp:discover\"\r\nX: a b\r\n\r\n");

    // And the clone's own changes do not reach back into a second clone.
    OlvPacket* second = OlvPacket_Clone(clone);
    OlvPacket_AddHeader(clone, "X", 1, "changed", 7);
    EXPECT_EQ(Header(second, "X"), "a b");
    OlvPacket_Destroy(clone);
    OlvPacket_Destroy(second);

    char response[] = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
    packet = OlvPacket_Parse(response, 0, static_cast<int>(std::strlen(response)));
    ASSERT_NE(packet, nullptr);
    clone = OlvPacket_Clone(packet);
    OlvPacket_Destroy(packet);
    std::memset(response, '#', sizeof response - 1);
    EXPECT_EQ(clone->status_code, 500);
    EXPECT_EQ(Serialize(clone), "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n");
    OlvPacket_Destroy(clone);
}

TEST(OlvPacket, NeverWritesOrReadsPastTheRange)
{
    // Each input ends right before an inaccessible page, without its final CR LF, so an
    // in-place terminator after the last string would fault.
    tv::GuardedBuffer request("GET /x HTTP/1.1\r\nHost: a");
    OlvPacket* packet = OlvPacket_Parse(request.data(), 0, request.size());
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Header(packet, "HOST"), "a");
    EXPECT_EQ(packet->first_header->owned, 1);
    OlvPacket_Destroy(packet);

    tv::GuardedBuffer one_line("GET /only");
    packet = OlvPacket_Parse(one_line.data(), 0, one_line.size());
    ASSERT_NE(packet, nullptr);
    EXPECT_STREQ(packet->method, "GET");
    EXPECT_STREQ(packet->path, "/only");
    EXPECT_STREQ(packet->version, "only");
    EXPECT_EQ(Serialize(packet), "GET /only HTTP/only\r\n\r\n");
    OlvPacket_Destroy(packet);

    tv::GuardedBuffer status("HTTP/1.1 200 OK");
    packet = OlvPacket_Parse(status.data(), 0, status.size());
    ASSERT_NE(packet, nullptr);
    EXPECT_STREQ(packet->reason, "OK");
    EXPECT_EQ(packet->status_code, 200);
    OlvPacket_Destroy(packet);

    tv::GuardedBuffer fold("HTTP/1.1 200 OK\r\nA: 1\r\n 2");
    packet = OlvPacket_Parse(fold.data(), 0, fold.size());
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(ListHeaders(packet), (std::vector<std::string>{"A=12"}));
    EXPECT_EQ(Header(packet, "A"), "1");
    OlvPacket_Destroy(packet);

    // A sub-range: nothing at or after `end` is touched, even though it is accessible.
    char text[] = "GET / HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n";
    int end = static_cast<int>(std::strstr(text, "B") - text) + 2;  // ends after "B:"
    packet = OlvPacket_Parse(text, 0, end);
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Header(packet, "B"), "");  // "B:" with an empty value
    EXPECT_EQ(text[end], ' ');
    OlvPacket_Destroy(packet);

    for (const char* odd : {":", " GET / HTTP/1.1", "GET / HTTP/1.1\r\n:", "GET / HTTP/1.1\r\n\t",
                            "HTTP/", "HTTP/1.1 99999999999999 x", "A B\r\n:\r\n :\r\n\r\n",
                            "GET / HTTP/1.1\r\nX:", "GET / HTTP/1.1\r\nX: \b", "GET  HTTP/1.1  "}) {
        tv::GuardedBuffer input(odd);
        packet = OlvPacket_Parse(input.data(), 0, input.size());
        if (packet != nullptr) {
            EXPECT_FALSE(Serialize(packet).empty()) << odd;
            OlvPacket* clone = OlvPacket_Clone(packet);
            OlvPacket_Destroy(packet);
            OlvPacket_Destroy(clone);
        }
    }
}

TEST(OlvPacket, SettersOnAParsedPacketNeverFreeBufferStrings)
{
    char text[] = "HTTP/1.1 200 OK\r\nA: 1\r\n\r\n";
    OlvPacket* packet = OlvPacket_Parse(text, 0, static_cast<int>(std::strlen(text)));
    ASSERT_NE(packet, nullptr);
    OlvPacket_SetDirective(packet, "GET", 3, "/p", 2);
    EXPECT_EQ(packet->owns_start_line, 1);
    EXPECT_EQ(View(packet->reason, packet->reason_length), "OK");
    EXPECT_NE(packet->reason, text + 13);
    OlvPacket_SetVersion(packet, "1.0", 3);
    OlvPacket_SetVersion(packet, "1.1", 3);
    OlvPacket_SetStatus(packet, 404, "Not Found", 9);
    EXPECT_EQ(Serialize(packet), "HTTP/1.1 404 Not Found\r\nA: 1\r\n\r\n");
    OlvPacket_Destroy(packet);
}
