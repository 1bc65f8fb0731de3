// Text, number, escaping, URI, time and socket helpers shared by every layer. Stateless and
// reentrant; every buffer returned here is malloc memory owned by the caller.
#include "runtime/OlvParsers.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "runtime/Memory.h"
#include "runtime/ServerContext.h"
#include "runtime/UniqueFd.h"

namespace {

constexpr int kRandomPortFirst = 50000;
constexpr int kRandomPortCount = 15000;
// A random bind that keeps failing with "in use" gives up after this many draws instead of
// spinning for ever on a machine whose range is exhausted.
constexpr int kRandomPortAttempts = 4 * kRandomPortCount;
constexpr std::size_t kTimeTextSize = 20;

bool BytesEqual(const char* a, const char* b, int length, int exact) noexcept
{
    if (exact) return length <= 0 || std::memcmp(a, b, static_cast<std::size_t>(length)) == 0;
    for (int i = 0; i < length; ++i) {
        if (tv::ToLowerAscii(a[i]) != tv::ToLowerAscii(b[i])) return false;
    }
    return true;
}

bool IsTrimmed(char c) noexcept
{
    return c == ' ' || c == '\b';
}

bool IsUrlSafe(unsigned char c) noexcept
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    switch (c) {
    case '$':
    case '*':
    case '+':
    case '-':
    case '.':
    case '/':
    case ':':
    case ';':
    case '=':
    case '?':
    case '@':
    case '_':
        return true;
    default:
        return false;
    }
}

// The five entities, in the order the unescaper tries them.
struct Entity {
    char character;
    const char* text;
    int length;
};
constexpr Entity kEntities[] = {
    {'"', "&quot;", 6}, {'&', "&amp;", 5}, {'\'', "&apos;", 6}, {'<', "&lt;", 4}, {'>', "&gt;", 4},
};

const Entity* EntityOf(char c) noexcept
{
    for (const Entity& entity : kEntities) {
        if (entity.character == c) return &entity;
    }
    return nullptr;
}

// A NUL-terminated copy on the stack when it fits, on the heap otherwise.
class TerminatedCopy {
public:
    TerminatedCopy(const char* data, int length) noexcept
    {
        std::size_t size = length > 0 ? static_cast<std::size_t>(length) : 0;
        text_ = size < sizeof(local_) ? local_ : static_cast<char*>(tv::Malloc(size + 1));
        if (size != 0) std::memcpy(text_, data, size);
        text_[size] = '\0';
    }
    TerminatedCopy(const TerminatedCopy&) = delete;
    TerminatedCopy& operator=(const TerminatedCopy&) = delete;
    ~TerminatedCopy()
    {
        if (text_ != local_) tv::Free(text_);
    }
    const char* get() const noexcept { return text_; }

private:
    char local_[64];
    char* text_;
};

void SetError(char* error, std::size_t error_size, const char* call, int code) noexcept
{
    if (error == nullptr || error_size == 0) return;
    std::snprintf(error, error_size, "%s: %s", call, std::strerror(code));
}

}  // namespace

// ---- Splitting and trimming ----

OlvSplitResult* OlvSplit(char* buffer, int offset, int end, const char* delimiter,
                         int delimiter_length) noexcept
{
    auto* result = new OlvSplitResult{};
    auto add = [result](char* data, int length) {
        auto* token = new OlvSplitToken{data, length, nullptr};
        if (result->last != nullptr) {
            result->last->next = token;
        } else {
            result->first = token;
        }
        result->last = token;
        ++result->count;
    };
    if (end < offset) end = offset;
    int start = offset;
    if (delimiter_length > 0) {
        int i = offset;
        while (i <= end - delimiter_length) {
            if (buffer[i] == delimiter[0] &&
                std::memcmp(buffer + i, delimiter, static_cast<std::size_t>(delimiter_length)) ==
                    0) {
                add(buffer + start, i - start);
                i += delimiter_length;
                start = i;
            } else {
                ++i;
            }
        }
    }
    add(buffer + start, end - start);
    return result;
}

void OlvSplit_Free(OlvSplitResult* result) noexcept
{
    if (result == nullptr) return;
    OlvSplitToken* token = result->first;
    while (token != nullptr) {
        OlvSplitToken* next = token->next;
        delete token;
        token = next;
    }
    delete result;
}

int OlvTrim(char** data, int length) noexcept
{
    if (length <= 0) return length;
    char* text = *data;
    int begin = 0;
    while (begin < length && IsTrimmed(text[begin])) ++begin;
    if (begin == length) return length;  // only blanks: left alone on purpose
    int end = length;
    while (end > begin && IsTrimmed(text[end - 1])) --end;
    *data = text + begin;
    return end - begin;
}

int OlvFirstWhiteSpace(const char* data, int length) noexcept
{
    for (int i = 0; i < length; ++i) {
        char c = data[i];
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') return i;
    }
    return -1;
}

// ---- Case and comparison ----

void OlvToLower(const char* src, int length, char* dst) noexcept
{
    for (int i = 0; i < length; ++i) dst[i] = tv::ToLowerAscii(src[i]);
}

bool tv::EqualsCaseless(std::string_view a, std::string_view b) noexcept
{
    return a.size() == b.size() && BytesEqual(a.data(), b.data(), static_cast<int>(a.size()), 0);
}

int OlvStartsWithEx(const char* data, int length, const char* prefix, int prefix_length,
                    int exact) noexcept
{
    if (prefix_length < 0 || length < prefix_length) return 0;
    return BytesEqual(data, prefix, prefix_length, exact) ? 1 : 0;
}

int OlvEndsWithEx(const char* data, int length, const char* suffix, int suffix_length,
                  int exact) noexcept
{
    if (suffix_length < 0 || length < suffix_length) return 0;
    return BytesEqual(data + (length - suffix_length), suffix, suffix_length, exact) ? 1 : 0;
}

int OlvStartsWith(const char* data, int length, const char* prefix, int prefix_length) noexcept
{
    return OlvStartsWithEx(data, length, prefix, prefix_length, 1);
}

int OlvEndsWith(const char* data, int length, const char* suffix, int suffix_length) noexcept
{
    return OlvEndsWithEx(data, length, suffix, suffix_length, 1);
}

int OlvLastIndexOfEx(const char* data, int length, const char* pattern, int pattern_length,
                     int exact) noexcept
{
    if (pattern_length < 0 || length < pattern_length) return -1;
    for (int i = length - pattern_length; i >= 0; --i) {
        if (BytesEqual(data + i, pattern, pattern_length, exact)) return i;
    }
    return -1;
}

int OlvLastIndexOf(const char* data, int length, const char* pattern, int pattern_length) noexcept
{
    return OlvLastIndexOfEx(data, length, pattern, pattern_length, 1);
}

// ---- UTF-8 ----

tv::Utf8Char tv::DecodeUtf8(std::string_view text, std::size_t at) noexcept
{
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return {1, lead};
    std::size_t need;
    char32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        code = lead & 0x07;
    } else {
        return {0, 0};
    }
    if (text.size() - at <= need) return {0, 0};
    for (std::size_t k = 1; k <= need; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return {0, 0};
        code = (code << 6) | (next & 0x3F);
    }
    if ((need == 2 && code < 0x800) || (need == 3 && code < 0x10000) || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
        return {0, 0};
    }
    return {need + 1, code};
}

// ---- Numbers ----

int OlvParseLong(const char* data, int length, long* value) noexcept
{
    TerminatedCopy copy(data, length);
    char* stop = nullptr;
    errno = 0;
    *value = std::strtol(copy.get(), &stop, 10);
    int error = errno;
    if (error == ERANGE || *stop != '\0') return -1;
    return 0;
}

int OlvParseULong(const char* data, int length, unsigned long* value) noexcept
{
    TerminatedCopy copy(data, length);
    char* stop = nullptr;
    errno = 0;
    *value = std::strtoul(copy.get(), &stop, 10);
    int error = errno;
    if (error == ERANGE || *stop != '\0') return -1;
    // strtoul takes "-1" as ULONG_MAX; a negative count is never a valid unsigned value.
    const char* first = copy.get();
    while (*first == ' ' || (*first >= '\t' && *first <= '\r')) ++first;
    if (*first == '-') return -1;
    return 0;
}

// ---- Building strings ----

char* OlvStringCopy(const char* data, int length) noexcept
{
    if (length < 0) length = static_cast<int>(std::strlen(data));
    return tv::CopyBytes(data, static_cast<std::size_t>(length));
}

char* OlvStringReplace(const char* data, int length, const char* find, int find_length,
                       const char* replacement, int replacement_length) noexcept
{
    if (length < 0) length = 0;
    if (find_length <= 0) return tv::CopyBytes(data, static_cast<std::size_t>(length));
    if (replacement_length < 0) replacement_length = 0;
    // Counted first so that the result is allocated once at its exact size.
    std::size_t count = 0;
    for (int i = 0; i <= length - find_length;) {
        if (std::memcmp(data + i, find, static_cast<std::size_t>(find_length)) == 0) {
            ++count;
            i += find_length;
        } else {
            ++i;
        }
    }
    std::size_t size = static_cast<std::size_t>(length) -
                       count * static_cast<std::size_t>(find_length) +
                       count * static_cast<std::size_t>(replacement_length);
    char* out = static_cast<char*>(tv::Malloc(size + 1));
    std::size_t written = 0;
    int i = 0;
    while (i < length) {
        if (i <= length - find_length &&
            std::memcmp(data + i, find, static_cast<std::size_t>(find_length)) == 0) {
            if (replacement_length != 0) {
                std::memcpy(out + written, replacement,
                            static_cast<std::size_t>(replacement_length));
            }
            written += static_cast<std::size_t>(replacement_length);
            i += find_length;
        } else {
            out[written++] = data[i++];
        }
    }
    out[written] = '\0';
    return out;
}

int OlvFragmentTextLength(const char* /*data*/, int length, const char* /*separator*/,
                          int separator_length, int width) noexcept
{
    if (length <= 0) return 0;
    if (width <= 0 || separator_length <= 0) return length;
    int chunks = (length + width - 1) / width;
    return length + (chunks - 1) * separator_length;
}

int OlvFragmentText(const char* data, int length, const char* separator, int separator_length,
                    int width, char** out) noexcept
{
    int total = OlvFragmentTextLength(data, length, separator, separator_length, width);
    char* text = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(total) + 1));
    int written = 0;
    if (length > 0) {
        if (width <= 0 || separator_length <= 0) width = length;
        for (int at = 0; at < length; at += width) {
            if (at != 0) {
                std::memcpy(text + written, separator, static_cast<std::size_t>(separator_length));
                written += separator_length;
            }
            int chunk = length - at < width ? length - at : width;
            std::memcpy(text + written, data + at, static_cast<std::size_t>(chunk));
            written += chunk;
        }
    }
    text[written] = '\0';
    *out = text;
    return written;
}

// ---- Escaping ----

int OlvHttpEscape(char* dst, const char* src) noexcept
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    int written = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0; ++p) {
        if (IsUrlSafe(*p)) {
            dst[written++] = static_cast<char>(*p);
        } else {
            dst[written++] = '%';
            dst[written++] = kHex[*p >> 4];
            dst[written++] = kHex[*p & 0x0F];
        }
    }
    dst[written++] = '\0';
    return written;
}

int OlvHttpEscapeLength(const char* src) noexcept
{
    int length = 1;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(src); *p != 0; ++p) {
        length += IsUrlSafe(*p) ? 1 : 3;
    }
    return length;
}

int OlvHttpUnescapeInPlace(char* string) noexcept
{
    int read = 0;
    int written = 0;
    while (string[read] != '\0') {
        // The two bytes after '%' must both be there; a trailing "%" or "%A" is kept as text
        // rather than read past the terminator.
        if (string[read] == '%' && string[read + 1] != '\0' && string[read + 2] != '\0') {
            char digits[3] = {string[read + 1], string[read + 2], '\0'};
            string[written++] = static_cast<char>(std::strtol(digits, nullptr, 16));
            read += 3;
        } else {
            string[written++] = string[read++];
        }
    }
    return written;
}

int OlvXmlEscape(char* dst, const char* src) noexcept
{
    int written = 0;
    for (const char* p = src; *p != '\0'; ++p) {
        if (const Entity* entity = EntityOf(*p)) {
            std::memcpy(dst + written, entity->text, static_cast<std::size_t>(entity->length));
            written += entity->length;
        } else {
            dst[written++] = *p;
        }
    }
    dst[written] = '\0';
    return written;
}

int OlvXmlEscapeLength(const char* src) noexcept
{
    int length = 0;
    for (const char* p = src; *p != '\0'; ++p) {
        const Entity* entity = EntityOf(*p);
        length += entity != nullptr ? entity->length : 1;
    }
    return length;
}

int OlvXmlUnescapeInPlace(char* string) noexcept
{
    int read = 0;
    int written = 0;
    while (string[read] != '\0') {
        const Entity* found = nullptr;
        if (string[read] == '&') {
            for (const Entity& entity : kEntities) {
                // strncmp stops at the terminator, so a short tail is never over-read.
                if (std::strncmp(string + read, entity.text,
                                 static_cast<std::size_t>(entity.length)) == 0) {
                    found = &entity;
                    break;
                }
            }
        }
        if (found != nullptr) {
            string[written++] = found->character;
            read += found->length;
        } else {
            string[written++] = string[read++];
        }
    }
    string[written] = '\0';
    return written;
}

// ---- URI ----

void OlvParseUri(const char* uri, char** host, std::uint16_t* port, char** path) noexcept
{
    int length = static_cast<int>(std::strlen(uri));
    int scheme = OlvLastIndexOf(uri, length, "://", 3);
    const char* rest = scheme >= 0 ? uri + scheme + 3 : uri;
    int rest_length = scheme >= 0 ? length - scheme - 3 : length;

    const char* slash =
        static_cast<const char*>(std::memchr(rest, '/', static_cast<std::size_t>(rest_length)));
    int host_part_length = slash != nullptr ? static_cast<int>(slash - rest) : rest_length;
    *path = slash != nullptr ? OlvStringCopy(slash, rest_length - host_part_length)
                             : OlvStringCopy("", 0);

    const char* colon = static_cast<const char*>(
        std::memchr(rest, ':', static_cast<std::size_t>(host_part_length)));
    if (colon == nullptr) {
        *host = OlvStringCopy(rest, host_part_length);
        *port = 80;
        return;
    }
    *host = OlvStringCopy(rest, static_cast<int>(colon - rest));
    int last_colon = OlvLastIndexOf(rest, host_part_length, ":", 1);
    TerminatedCopy digits(rest + last_colon + 1, host_part_length - last_colon - 1);
    *port = static_cast<std::uint16_t>(std::strtol(digits.get(), nullptr, 10));
}

// ---- Time ----

void OlvTimeOfDay(std::int64_t* seconds, std::int64_t* microseconds) noexcept
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    *seconds = static_cast<std::int64_t>(now.tv_sec);
    *microseconds = static_cast<std::int64_t>(now.tv_nsec / 1000000) * 1000;
}

char* OlvTimeToText(std::int64_t time) noexcept
{
    char* text = static_cast<char*>(tv::Malloc(kTimeTextSize));
    std::time_t when = static_cast<std::time_t>(time);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr || local.tm_year + 1900 < 0 ||
        local.tm_year + 1900 > 9999) {
        // Out of the four-digit range: a fixed text rather than a truncated one.
        std::memcpy(text, "0000-00-00T00:00:00", kTimeTextSize);
        return text;
    }
    char wide[64];
    std::snprintf(wide, sizeof wide, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::memcpy(text, wide, kTimeTextSize - 1);
    text[kTimeTextSize - 1] = '\0';
    return text;
}

// ---- Sockets ----

int OlvBindStreamSocket(std::uint32_t address, std::uint16_t port, tv::RandomSource* random,
                        int* socket_out, char* error, std::size_t error_size) noexcept
{
    *socket_out = -1;
    tv::UniqueFd handle(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!handle) {
        int code = errno;
        SetError(error, error_size, "socket", code);
        return 0;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;

    if (port != 0) {
        int on = 1;
        if (setsockopt(handle.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            int code = errno;
            SetError(error, error_size, "setsockopt(SO_REUSEADDR)", code);
            return 0;
        }
        local.sin_port = htons(port);
        if (bind(handle.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            int code = errno;
            SetError(error, error_size, "bind", code);
            return 0;
        }
        *socket_out = handle.release();
        return port;
    }

    if (random == nullptr) {
        SetError(error, error_size, "bind", EINVAL);
        return 0;
    }
    // Only "in use" is worth another draw; any other failure would repeat for every port.
    for (int attempt = 0; attempt < kRandomPortAttempts; ++attempt) {
        auto pick =
            static_cast<std::uint16_t>(kRandomPortFirst + (random->Draw() % kRandomPortCount));
        local.sin_port = htons(pick);
        if (bind(handle.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) {
            *socket_out = handle.release();
            return pick;
        }
        int code = errno;
        if (code != EADDRINUSE) {
            SetError(error, error_size, "bind", code);
            return 0;
        }
        if (attempt + 1 == kRandomPortAttempts) SetError(error, error_size, "bind", code);
    }
    return 0;
}

// ---- Stored templates ----

char* OlvDecompress(const char* compressed, int compressed_length, int decompressed_length) noexcept
{
    if (compressed_length < 0 || decompressed_length < 0) return nullptr;
    auto* in = reinterpret_cast<const unsigned char*>(compressed);
    char* out = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(decompressed_length) + 1));
    int read = 0;
    int written = 0;
    while (written < decompressed_length) {
        if (read >= compressed_length) break;
        int literal = in[read++];
        if (literal > compressed_length - read || literal > decompressed_length - written) break;
        if (literal != 0) std::memcpy(out + written, in + read, static_cast<std::size_t>(literal));
        read += literal;
        written += literal;
        if (written == decompressed_length) break;  // a final block may end with its literals
        if (compressed_length - read < 2) break;
        int word = in[read] | (in[read + 1] << 8);
        read += 2;
        int distance = word >> 6;
        int count = word & 0x3F;
        if (count == 0) continue;
        if (distance == 0 || distance > written || count > decompressed_length - written) break;
        // Byte by byte, so an overlapping reference repeats what it has just produced.
        for (int i = 0; i < count; ++i, ++written) out[written] = out[written - distance];
    }
    if (written != decompressed_length) {
        tv::Free(out);
        return nullptr;
    }
    out[written] = '\0';
    return out;
}
