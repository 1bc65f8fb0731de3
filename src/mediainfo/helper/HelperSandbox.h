// What the helper may do once it reads untrusted files: resource limits, no new privileges and
// a system-call filter that kills it for anything it has no use for. The helper's only thread.
#pragma once

#include <string>

namespace tv {

// CPU seconds in one helper's life; it retires (and the server starts another) before the end.
inline constexpr int kHelperCpuLimitSeconds = 300;
inline constexpr int kHelperCpuRetireSeconds = 240;

// Address space, CPU, file size 0, no core, few descriptors, no children. Before FFmpeg is
// set up, so that it is set up inside them. False with the reason in *why.
bool HelperSandbox_Limit(std::string* why);

// No new privileges and the filter: opening files, sockets and connecting fail with EACCES,
// any call not on the list kills the process. After FFmpeg is set up.
bool HelperSandbox_Enter(std::string* why);

double HelperSandbox_CpuSeconds() noexcept;

}  // namespace tv
