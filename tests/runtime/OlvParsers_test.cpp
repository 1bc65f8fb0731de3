#include "runtime/OlvParsers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/Memory.h"
#include "runtime/ServerContext.h"
#include "support/GuardedBuffer.h"

namespace {

std::vector<std::string> Split(std::string text, const std::string& delimiter)
{
    OlvSplitResult* result = OlvSplit(text.data(), 0, static_cast<int>(text.size()),
                                      delimiter.data(), static_cast<int>(delimiter.size()));
    std::vector<std::string> tokens;
    for (OlvSplitToken* token = result->first; token != nullptr; token = token->next) {
        tokens.emplace_back(token->data, static_cast<std::size_t>(token->length));
    }
    EXPECT_EQ(result->count, static_cast<int>(tokens.size()));
    EXPECT_EQ(result->last->data + result->last->length, text.data() + text.size());
    OlvSplit_Free(result);
    return tokens;
}

std::string Trim(const std::string& text)
{
    std::string copy = text;
    char* data = copy.data();
    int length = OlvTrim(&data, static_cast<int>(copy.size()));
    return std::string(data, static_cast<std::size_t>(length));
}

std::string Take(char* text)
{
    std::string result = text;
    tv::Free(text);
    return result;
}

std::string HttpEscape(const std::string& text)
{
    int size = OlvHttpEscapeLength(text.c_str());
    std::string out(static_cast<std::size_t>(size), '#');
    EXPECT_EQ(OlvHttpEscape(out.data(), text.c_str()), size);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

std::string XmlEscape(const std::string& text)
{
    int length = OlvXmlEscapeLength(text.c_str());
    std::string out(static_cast<std::size_t>(length) + 1, '#');
    EXPECT_EQ(OlvXmlEscape(out.data(), text.c_str()), length);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

std::string HttpUnescape(std::string text)
{
    int length = OlvHttpUnescapeInPlace(text.data());
    return text.substr(0, static_cast<std::size_t>(length));
}

std::string XmlUnescape(std::string text)
{
    int length = OlvXmlUnescapeInPlace(text.data());
    EXPECT_EQ(text[static_cast<std::size_t>(length)], '\0');
    return text.substr(0, static_cast<std::size_t>(length));
}

}  // namespace

TEST(OlvParsers, SplitCountsEveryDelimiterAndKeepsEmptyTokens)
{
    EXPECT_EQ(Split("a,,b", ","), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(Split("", ","), (std::vector<std::string>{""}));
    EXPECT_EQ(Split("\r\n", "\r\n"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(Split("a,", ","), (std::vector<std::string>{"a", ""}));
    // The scan skips a whole delimiter at a match: no overlapping matches.
    EXPECT_EQ(Split("aaa", "aa"), (std::vector<std::string>{"", "a"}));
    EXPECT_EQ(Split("Host: x", ":"), (std::vector<std::string>{"Host", " x"}));
    EXPECT_EQ(Split("abc", ""), (std::vector<std::string>{"abc"}));
}

TEST(OlvParsers, SplitStaysInsideTheRange)
{
    // A delimiter cut by the end of the range is not a delimiter, and nothing past the end
    // is read: the guard page follows the last byte.
    tv::GuardedBuffer input("GET / HTTP/1.1\r\nHost: a\r");
    OlvSplitResult* lines = OlvSplit(input.data(), 0, input.size(), "\r\n", 2);
    ASSERT_EQ(lines->count, 2);
    EXPECT_EQ(std::string(lines->last->data, static_cast<std::size_t>(lines->last->length)),
              "Host: a\r");
    OlvSplit_Free(lines);

    OlvSplitResult* middle = OlvSplit(input.data(), 4, 10, " ", 1);
    ASSERT_EQ(middle->count, 2);
    EXPECT_EQ(std::string(middle->first->data, 1), "/");
    EXPECT_EQ(middle->last->length, 4);  // "HTTP" of "HTTP/1.1", cut at index 10
    OlvSplit_Free(middle);
}

TEST(OlvParsers, TrimRemovesBlanksAndBackspacesOnly)
{
    EXPECT_EQ(Trim("  x \b"), "x");
    EXPECT_EQ(Trim("\tx"), "\tx");
    EXPECT_EQ(Trim("   "), "   ");
    EXPECT_EQ(Trim(""), "");
    EXPECT_EQ(Trim("a b"), "a b");

    char text[] = "   ";
    char* data = text;
    EXPECT_EQ(OlvTrim(&data, 3), 3);
    EXPECT_EQ(data, text);

    EXPECT_EQ(OlvFirstWhiteSpace("ab\tc d", 6), 2);
    EXPECT_EQ(OlvFirstWhiteSpace("abc", 3), -1);
    EXPECT_EQ(OlvFirstWhiteSpace("a\nb", 3), 1);
}

TEST(OlvParsers, CaseFoldingAndComparisons)
{
    char lowered[8] = {};
    OlvToLower("AbZ-\xC4", 5, lowered);
    EXPECT_STREQ(lowered, "abz-\xC4");  // ASCII only

    EXPECT_EQ(OlvStartsWith("Content-Length", 14, "content", 7), 0);
    EXPECT_EQ(OlvStartsWithEx("Content-Length", 14, "content", 7, 0), 1);
    EXPECT_EQ(OlvStartsWith("ab", 2, "abc", 3), 0);
    EXPECT_EQ(OlvEndsWithEx("movie.MP4", 9, ".mp4", 4, 0), 1);
    EXPECT_EQ(OlvEndsWith("4", 1, ".mp4", 4), 0);

    EXPECT_EQ(OlvLastIndexOf("a/b/c", 5, "/", 1), 3);
    EXPECT_EQ(OlvLastIndexOf("abc", 3, "abc", 3), 0);
    EXPECT_EQ(OlvLastIndexOf("ab", 2, "abc", 3), -1);
    EXPECT_EQ(OlvLastIndexOfEx("x.JPG.jpg", 9, ".JPG", 4, 0), 5);
}

TEST(OlvParsers, NumbersRefuseTrailingTextOverflowAndNegativeUnsigned)
{
    long value = 0;
    EXPECT_EQ(OlvParseLong("-42", 3, &value), 0);
    EXPECT_EQ(value, -42);
    EXPECT_EQ(OlvParseLong("12x", 3, &value), -1);
    EXPECT_EQ(value, 12);  // stored even on failure
    EXPECT_EQ(OlvParseLong("99999999999999999999", 20, &value), -1);
    EXPECT_EQ(value, LONG_MAX);
    // Only the given length counts: the bytes after it are not part of the number.
    EXPECT_EQ(OlvParseLong("123456", 3, &value), 0);
    EXPECT_EQ(value, 123);

    unsigned long unsigned_value = 0;
    EXPECT_EQ(OlvParseULong("4294967296", 10, &unsigned_value), 0);
    EXPECT_EQ(unsigned_value, 4294967296UL);
    EXPECT_EQ(OlvParseULong("-1", 2, &unsigned_value), -1);
    EXPECT_EQ(OlvParseULong(" -1", 3, &unsigned_value), -1);
    EXPECT_EQ(OlvParseULong("10 ", 3, &unsigned_value), -1);
    EXPECT_EQ(OlvParseULong("99999999999999999999999", 23, &unsigned_value), -1);

    // A long input that is not NUL-terminated, right before the guard page.
    std::string digits(100, '7');
    tv::GuardedBuffer input(digits);
    EXPECT_EQ(OlvParseLong(input.data(), input.size(), &value), -1);
    EXPECT_EQ(OlvParseULong(input.data(), 5, &unsigned_value), 0);
    EXPECT_EQ(unsigned_value, 77777UL);
}

TEST(OlvParsers, CopyAndReplaceBuildExactStrings)
{
    EXPECT_EQ(Take(OlvStringCopy("abc", -1)), "abc");
    EXPECT_EQ(Take(OlvStringCopy("abcdef", 2)), "ab");
    EXPECT_EQ(Take(OlvStringCopy("", 0)), "");

    EXPECT_EQ(Take(OlvStringReplace("a\\b\\c", 5, "\\", 1, "%5C", 3)), "a%5Cb%5Cc");
    EXPECT_EQ(Take(OlvStringReplace("&amp;&amp;", 10, "&amp;", 5, "&", 1)), "&&");
    EXPECT_EQ(Take(OlvStringReplace("abc", 3, "x", 1, "yy", 2)), "abc");
    EXPECT_EQ(Take(OlvStringReplace("xx", 2, "x", 1, "", 0)), "");
    EXPECT_EQ(Take(OlvStringReplace("", 0, "x", 1, "y", 1)), "");
}

TEST(OlvParsers, FragmentingInsertsOneSeparatorBetweenChunks)
{
    std::string text(1601, 'v');
    text[800] = 'A';
    text[1600] = 'Z';
    char* out = nullptr;
    int length = OlvFragmentText(text.data(), 1601, "\r\n ", 3, 800, &out);
    ASSERT_EQ(length, 1607);
    EXPECT_EQ(OlvFragmentTextLength(text.data(), 1601, "\r\n ", 3, 800), 1607);
    std::string folded(out, static_cast<std::size_t>(length));
    EXPECT_EQ(folded, text.substr(0, 800) + "\r\n " + text.substr(800, 800) + "\r\n " + "Z");
    EXPECT_EQ(out[length], '\0');
    tv::Free(out);

    // An exact multiple of the width: no separator after the last chunk.
    EXPECT_EQ(OlvFragmentTextLength(text.data(), 1600, "\r\n ", 3, 800), 1603);
    length = OlvFragmentText(text.data(), 1600, "\r\n ", 3, 800, &out);
    EXPECT_EQ(length, 1603);
    EXPECT_EQ(std::string(out + 1600, 3), text.substr(1597, 3));
    tv::Free(out);

    length = OlvFragmentText("", 0, "\r\n ", 3, 800, &out);
    EXPECT_EQ(length, 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out[0], '\0');
    tv::Free(out);
}

TEST(OlvParsers, HttpEscapingBothWays)
{
    EXPECT_EQ(HttpEscape("a b"), "a%20b");
    EXPECT_EQ(OlvHttpEscapeLength("a b"), 6);
    EXPECT_EQ(HttpEscape("~"), "%7E");
    EXPECT_EQ(HttpEscape("$*+-./:;=?@_azAZ09"), "$*+-./:;=?@_azAZ09");
    EXPECT_EQ(HttpEscape("%&!,\\"), "%25%26%21%2C%5C");
    EXPECT_EQ(HttpEscape("\xC3\xA9\x7F\x01"), "%C3%A9%7F%01");
    EXPECT_EQ(HttpEscape(""), "");

    EXPECT_EQ(HttpUnescape("a%2Fb"), "a/b");
    EXPECT_EQ(HttpUnescape("%C3%a9"), "\xC3\xA9");
    EXPECT_EQ(HttpUnescape("a%20b%25"), "a b%");
    EXPECT_EQ(HttpUnescape("%G1"), std::string(1, '\0'));  // no hex digit reads as 0
    EXPECT_EQ(HttpUnescape("%1G"), "\x01");                // stops at the bad digit
    EXPECT_EQ(HttpUnescape(HttpEscape("dir\\f\xC3\xB6o bar&~.mp3")), "dir\\f\xC3\xB6o bar&~.mp3");

    // A '%' at the end keeps its bytes; nothing past the terminator is read.
    for (std::string tail : {std::string("ab%", 4), std::string("ab%4", 5)}) {
        tv::GuardedBuffer input(tail);
        int length = OlvHttpUnescapeInPlace(input.data());
        EXPECT_EQ(std::string(input.data(), static_cast<std::size_t>(length)),
                  tail.substr(0, tail.size() - 1));
    }
}

TEST(OlvParsers, XmlEscapingBothWays)
{
    EXPECT_EQ(XmlEscape("<a\">"), "&lt;a&quot;&gt;");
    EXPECT_EQ(XmlEscape("Tom & Jerry's"), "Tom &amp; Jerry&apos;s");
    EXPECT_EQ(XmlEscape("plain \xC3\xA9"), "plain \xC3\xA9");

    EXPECT_EQ(XmlUnescape("&lt;a&quot;&gt;"), "<a\">");
    EXPECT_EQ(XmlUnescape("&amp;lt;"), "&lt;");  // one level only
    EXPECT_EQ(XmlUnescape("&#38;&unknown;&"), "&#38;&unknown;&");
    EXPECT_EQ(XmlUnescape("&apos;&amp"), "'&amp");
    const std::string all = "\"&'<> and text";
    EXPECT_EQ(XmlUnescape(XmlEscape(all)), all);

    // A truncated entity right before the guard page.
    tv::GuardedBuffer input(std::string("x&am", 5));
    EXPECT_EQ(OlvXmlUnescapeInPlace(input.data()), 4);
    EXPECT_STREQ(input.data(), "x&am");
}

TEST(OlvParsers, UriSplitsHostPortAndPath)
{
    char* host = nullptr;
    char* path = nullptr;
    std::uint16_t port = 0;
    OlvParseUri("http://192.168.1.20:8080/a/b", &host, &port, &path);
    EXPECT_STREQ(host, "192.168.1.20");
    EXPECT_EQ(port, 8080);
    EXPECT_STREQ(path, "/a/b");
    tv::Free(host);
    tv::Free(path);

    OlvParseUri("http://192.168.1.20", &host, &port, &path);
    EXPECT_STREQ(host, "192.168.1.20");
    EXPECT_EQ(port, 80);
    EXPECT_STREQ(path, "");
    tv::Free(host);
    tv::Free(path);

    // No scheme, and a ':' in the path is not a port.
    OlvParseUri("10.0.0.1/x:y", &host, &port, &path);
    EXPECT_STREQ(host, "10.0.0.1");
    EXPECT_EQ(port, 80);
    EXPECT_STREQ(path, "/x:y");
    tv::Free(host);
    tv::Free(path);

    OlvParseUri("http://h:1:2/p", &host, &port, &path);
    EXPECT_STREQ(host, "h");
    EXPECT_EQ(port, 2);
    tv::Free(host);
    tv::Free(path);
}

TEST(OlvParsers, TimeTextIsLocalAndFixedWidth)
{
    std::tm when{};
    when.tm_year = 2009 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 2;
    when.tm_hour = 14;
    when.tm_min = 3;
    when.tm_sec = 5;
    when.tm_isdst = -1;
    std::time_t time = std::mktime(&when);
    EXPECT_EQ(Take(OlvTimeToText(static_cast<std::int64_t>(time))), "2009-01-02T14:03:05");

    std::int64_t seconds = 0;
    std::int64_t microseconds = -1;
    OlvTimeOfDay(&seconds, &microseconds);
    EXPECT_LE(std::abs(seconds - static_cast<std::int64_t>(std::time(nullptr))), 2);
    EXPECT_GE(microseconds, 0);
    EXPECT_LT(microseconds, 1000000);
    EXPECT_EQ(microseconds % 1000, 0);
}

TEST(OlvParsers, BindStreamSocketPicksAFreePortOrReportsWhy)
{
    std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    int first = -1;
    tv::RandomSource random;
    int port = OlvBindStreamSocket(loopback, 0, &random, &first);
    ASSERT_GE(port, 50000);
    ASSERT_LE(port, 64999);
    ASSERT_GE(first, 0);
    EXPECT_NE(fcntl(first, F_GETFL) & O_NONBLOCK, 0);
    sockaddr_in bound{};
    socklen_t size = sizeof bound;
    ASSERT_EQ(getsockname(first, reinterpret_cast<sockaddr*>(&bound), &size), 0);
    EXPECT_EQ(ntohs(bound.sin_port), port);
    ASSERT_EQ(listen(first, 1), 0);

    // The same port while it is listening: refused, nothing left open, the reason given.
    int second = 123;
    char error[128] = "";
    EXPECT_EQ(OlvBindStreamSocket(loopback, static_cast<std::uint16_t>(port), nullptr, &second,
                                  error, sizeof error),
              0);
    EXPECT_EQ(second, -1);
    EXPECT_NE(std::strstr(error, "bind"), nullptr);

    // An address that is not ours fails at once instead of drawing ports for ever.
    int third = 123;
    error[0] = '\0';
    EXPECT_EQ(OlvBindStreamSocket(inet_addr("192.0.2.77"), 0, &random, &third, error, sizeof error),
              0);
    EXPECT_EQ(third, -1);
    EXPECT_NE(std::strstr(error, "bind"), nullptr);

    close(first);
}

TEST(OlvParsers, DecompressExpandsBlocksAndRefusesBrokenInput)
{
    // Block 1: literals "abcd", then 4 bytes from 4 back: "abcdabcd".
    // Block 2: literals "xy", then 2 bytes from 10 back: "ab".
    constexpr int kFirstWord = (4 << 6) | 4;
    constexpr int kSecondWord = (10 << 6) | 2;
    const unsigned char stream[] = {4,
                                    'a',
                                    'b',
                                    'c',
                                    'd',
                                    kFirstWord & 0xFF,
                                    kFirstWord >> 8,
                                    2,
                                    'x',
                                    'y',
                                    kSecondWord & 0xFF,
                                    kSecondWord >> 8};
    tv::GuardedBuffer input(std::string(reinterpret_cast<const char*>(stream), sizeof stream));
    char* text = OlvDecompress(input.data(), input.size(), 12);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "abcdabcdxyab");
    tv::Free(text);

    // A last block that ends with its literals.
    const char tail[] = {3, 'e', 'n', 'd'};
    tv::GuardedBuffer short_input(std::string(tail, sizeof tail));
    text = OlvDecompress(short_input.data(), short_input.size(), 3);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "end");
    tv::Free(text);

    // Truncated stream, reference before the start, literal longer than the input.
    EXPECT_EQ(OlvDecompress(input.data(), input.size() - 3, 12), nullptr);
    constexpr int kBeforeWord = (5 << 6) | 1;
    const char before[] = {1, 'a', kBeforeWord & 0xFF, kBeforeWord >> 8};
    tv::GuardedBuffer before_input(std::string(before, sizeof before));
    EXPECT_EQ(OlvDecompress(before_input.data(), before_input.size(), 2), nullptr);
    const char long_literal[] = {static_cast<char>(200), 'a'};
    tv::GuardedBuffer long_input(std::string(long_literal, sizeof long_literal));
    EXPECT_EQ(OlvDecompress(long_input.data(), long_input.size(), 200), nullptr);
}
