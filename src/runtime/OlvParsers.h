// The text toolkit every parser of the server is built on: pointer-and-length views into the
// caller's buffer, heap results that belong to the caller (release them with tv::Free), and
// the few socket and clock helpers that do not deserve a module of their own.
// Every function here is reentrant, keeps no state and may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tv {
class RandomSource;
}

// One token of OlvSplit: a view into the split buffer, not a copy, not NUL-terminated.
struct OlvSplitToken {
    char* data = nullptr;
    int length = 0;
    OlvSplitToken* next = nullptr;
};

// The tokens of one OlvSplit call, in order; `count` is at least 1.
struct OlvSplitResult {
    OlvSplitToken* first = nullptr;
    OlvSplitToken* last = nullptr;
    int count = 0;
};

// ---- Splitting and trimming ----

// Tokenizes buffer[offset .. end) on every occurrence of the delimiter (byte for byte, no
// quoting). Delimiter occurrences + 1 tokens; an empty range gives one empty token; a
// delimiter of length 0 or less does not split. Free with OlvSplit_Free; the buffer stays
// the caller's and must outlive the result.
[[nodiscard]] OlvSplitResult* OlvSplit(char* buffer, int offset, int end, const char* delimiter,
                                       int delimiter_length) noexcept;
// Frees the result and its tokens, not the buffer. Null is allowed.
void OlvSplit_Free(OlvSplitResult* result) noexcept;

// Drops leading and trailing blanks (0x20) and backspaces (0x08), not tabs: moves *data past
// the leading ones and returns the remaining length. A text made only of such bytes comes
// back unchanged (same pointer, same length).
int OlvTrim(char** data, int length) noexcept;
// Index of the first tab, LF, CR or blank, or -1.
int OlvFirstWhiteSpace(const char* data, int length) noexcept;

// ---- Case and comparison ----

// Copies `length` bytes to dst, mapping only A..Z to a..z. dst may equal src.
void OlvToLower(const char* src, int length, char* dst) noexcept;
// 1 when data begins (ends) with the pattern byte for byte, else 0 (also when data is shorter).
int OlvStartsWith(const char* data, int length, const char* prefix, int prefix_length) noexcept;
int OlvEndsWith(const char* data, int length, const char* suffix, int suffix_length) noexcept;
// exact: 1 compares byte for byte, 0 ignores ASCII case.
int OlvStartsWithEx(const char* data, int length, const char* prefix, int prefix_length,
                    int exact) noexcept;
int OlvEndsWithEx(const char* data, int length, const char* suffix, int suffix_length,
                  int exact) noexcept;
// Rightmost position where the pattern lies entirely inside data, or -1.
int OlvLastIndexOf(const char* data, int length, const char* pattern, int pattern_length) noexcept;
int OlvLastIndexOfEx(const char* data, int length, const char* pattern, int pattern_length,
                     int exact) noexcept;

namespace tv {
// A received field as a view: null data or a length below 1 gives an empty view.
inline std::string_view View(const char* data, int length) noexcept
{
    return {data != nullptr ? data : "",
            data != nullptr && length > 0 ? static_cast<std::size_t>(length) : 0};
}
// Equal but for ASCII case (header names, methods, tokens).
bool EqualsCaseless(std::string_view a, std::string_view b) noexcept;
// A..Z to a..z; every other byte, UTF-8 ones too, as it is.
constexpr char ToLowerAscii(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
}  // namespace tv

// ---- UTF-8 ----

namespace tv {
// One UTF-8 sequence at text[at] (at below text.size()): its length in bytes (1 to 4) and the
// code point it encodes. A length of 0 when the bytes there are no valid sequence: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate, or a code point
// above U+10FFFF.
struct Utf8Char {
    std::size_t length;
    char32_t code;
};
Utf8Char DecodeUtf8(std::string_view text, std::size_t at) noexcept;
}  // namespace tv

// ---- Numbers ----

// Decimal conversion as strtol/strtoul of a NUL-terminated copy. 0 on success; -1 when bytes
// remain after the number or the value is out of range. *value is stored in either case.
// OlvParseULong also refuses a minus sign (after optional leading white space).
[[nodiscard]] int OlvParseLong(const char* data, int length, long* value) noexcept;
[[nodiscard]] int OlvParseULong(const char* data, int length, unsigned long* value) noexcept;

// ---- Building strings (results are heap copies owned by the caller: tv::Free) ----

// NUL-terminated copy of `length` bytes; a negative length means data is NUL-terminated.
[[nodiscard]] char* OlvStringCopy(const char* data, int length) noexcept;
// Every occurrence of `find` replaced by `replacement`; NUL-terminated.
[[nodiscard]] char* OlvStringReplace(const char* data, int length, const char* find,
                                     int find_length, const char* replacement,
                                     int replacement_length) noexcept;
// Size (without the NUL) of the text cut into `width`-byte chunks joined by the separator.
int OlvFragmentTextLength(const char* data, int length, const char* separator, int separator_length,
                          int width) noexcept;
// Writes that text into a new NUL-terminated buffer *out (caller frees); returns its length.
// A width of 0 or less leaves the text whole.
int OlvFragmentText(const char* data, int length, const char* separator, int separator_length,
                    int width, char** out) noexcept;

// ---- Escaping ----

// URL escaping of the NUL-terminated src: letters, digits and $*+-./:;=?@_ stay, every other
// byte becomes %XX (upper case). dst needs OlvHttpEscapeLength(src) bytes. Both return the
// size including the NUL.
int OlvHttpEscape(char* dst, const char* src) noexcept;
int OlvHttpEscapeLength(const char* src) noexcept;
// Turns each %XX of the NUL-terminated string into one byte, in place; returns the new length.
// No NUL is written at the new end. A % without two following bytes stays as it is.
int OlvHttpUnescapeInPlace(char* string) noexcept;
// XML escaping of " & ' < > in the NUL-terminated src. dst needs OlvXmlEscapeLength(src) + 1
// bytes and is NUL-terminated. Both return the length without the NUL.
int OlvXmlEscape(char* dst, const char* src) noexcept;
int OlvXmlEscapeLength(const char* src) noexcept;
// Undoes the five entities above in place (other & sequences stay); NUL-terminates and
// returns the new length.
int OlvXmlUnescapeInPlace(char* string) noexcept;

// ---- URI ----

// Splits "scheme://host[:port]/path" (the scheme part is optional): *host and *path become
// new NUL-terminated strings (caller frees; path empty when there is no '/'), *port the
// decimal value after the last ':' of the host part, 80 without one.
void OlvParseUri(const char* uri, char** host, std::uint16_t* port, char** path) noexcept;

// ---- Time ----

// Wall clock: whole seconds, and the milliseconds of the second times 1000.
void OlvTimeOfDay(std::int64_t* seconds, std::int64_t* microseconds) noexcept;
// Local time of `time` (seconds since the epoch) as "YYYY-MM-DDThh:mm:ss" in a new 20-byte
// buffer (caller frees).
[[nodiscard]] char* OlvTimeToText(std::int64_t time) noexcept;

// ---- Sockets ----

// Creates a non-blocking, close-on-exec TCP socket in *socket and binds it to address (network
// byte order) and port. A non-zero port gets SO_REUSEADDR and is bound once (`random` may then
// be null); port 0 draws ports in 50000..64999 from `random` until one binds. Returns the port
// bound, or 0 on failure: then *socket is -1 (nothing is left open) and, when error is not
// null, a message naming the failed call is written to error[0 .. error_size).
[[nodiscard]] int OlvBindStreamSocket(std::uint32_t address, std::uint16_t port,
                                      tv::RandomSource* random, int* socket, char* error = nullptr,
                                      std::size_t error_size = 0) noexcept;

// ---- Stored templates ----

// Expands the block format (literal length, literals, 16-bit distance/count word) into a new
// NUL-terminated string of decompressed_length bytes (caller frees). Never reads past
// compressed_length nor refers before the start of the output: malformed input gives null.
[[nodiscard]] char* OlvDecompress(const char* compressed, int compressed_length,
                                  int decompressed_length) noexcept;
