// The one diagnostic line function all server code uses; lines go to the log target
// (the window, or standard output when headless).
#pragma once

#include <string>
#include <string_view>

// Takes its own copy of `line` (no line end) and must not block the caller.
using ServerLogAppendFn = void (*)(void* window, const char* line) noexcept;

struct ServerLogTarget {
    ServerLogAppendFn append = nullptr;
    void* window = nullptr;
};

// Any thread. Lines logged while no target is set go to standard error.
// The target must outlive every ServerLog call made while it is set.
void ServerLog_SetTarget(const ServerLogTarget* target) noexcept;

// Any thread. printf-style; no length limit; the text carries no line end. Control bytes
// (below 0x20, and 0x7F) in the formatted text are written as \xNN (a line end as \x0a), so
// that every call is one line, whatever text from the network or a file name it holds.
[[gnu::format(printf, 1, 2)]] void ServerLog(const char* format, ...) noexcept;

namespace tv {

// `text` with its control bytes written as ServerLog writes them, for the diagnostics that go
// to standard output or error directly.
std::string ServerLogEscaped(std::string_view text);

}  // namespace tv
