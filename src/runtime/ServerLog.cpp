// ServerLog: formats a line in full and hands it to the current log target.
#include "runtime/ServerLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "runtime/Memory.h"

namespace {
std::atomic<const ServerLogTarget*> g_target{nullptr};
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

    const ServerLogTarget* target = g_target.load(std::memory_order_acquire);
    if (target != nullptr && target->append != nullptr)
        target->append(target->window, line);
    else
        std::fprintf(stderr, "%s\n", line);
    tv::Free(line);
}
