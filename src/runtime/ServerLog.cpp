// ServerLog: formats a line in full and hands it to the current log target.
#include "runtime/ServerLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/Memory.h"

namespace {
std::atomic<const ServerLogTarget*> g_target{nullptr};

bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F;
}

// The line with each control byte written as \xNN: text from the network or a file name
// can then neither end the line nor start one of its own. Null when there is none.
char* Escaped(const char* line, std::size_t length)
{
    std::size_t controls = 0;
    for (std::size_t i = 0; i < length; ++i)
        controls += IsControl(static_cast<unsigned char>(line[i])) ? 1 : 0;
    if (controls == 0) return nullptr;
    char* out = static_cast<char*>(tv::Malloc(length + 3 * controls + 1));
    char* at = out;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (IsControl(c)) {
            static constexpr char kHex[] = "0123456789abcdef";
            *at++ = '\\';
            *at++ = 'x';
            *at++ = kHex[c >> 4];
            *at++ = kHex[c & 0xF];
        } else {
            *at++ = static_cast<char>(c);
        }
    }
    *at = '\0';
    return out;
}
}  // namespace

std::string tv::ServerLogEscaped(std::string_view text)
{
    char* escaped = Escaped(text.data(), text.size());
    if (escaped == nullptr) return std::string(text);
    std::string out = escaped;
    tv::Free(escaped);
    return out;
}

void ServerLog_SetTarget(const ServerLogTarget* target) noexcept
{
    g_target.store(target, std::memory_order_release);
}

void ServerLog(const char* format, ...) noexcept
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
        va_end(args);
        return;
    }
    char* line = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(length) + 1));
    std::vsnprintf(line, static_cast<std::size_t>(length) + 1, format, args);
    va_end(args);
    // A NUL inside the text ends the line there, as it always did.
    if (char* escaped = Escaped(line, std::strlen(line))) {
        tv::Free(line);
        line = escaped;
    }

    const ServerLogTarget* target = g_target.load(std::memory_order_acquire);
    if (target != nullptr && target->append != nullptr)
        target->append(target->window, line);
    else
        std::fprintf(stderr, "%s\n", line);
    tv::Free(line);
}
