// Reading one media file from an open descriptor with FFmpeg: tags, duration, stream
// parameters, and a thumbnail of at most 160x160. The helper's only thread.
#pragma once

#include "mediainfo/MediaInfoWire.h"

namespace tv {

// Quietens FFmpeg's log and runs each decoder and the encoder once, so that whatever they set
// up at first use is done before the system-call filter is in place.
void HelperProbe_Init() noexcept;

// Reads `fd` (a regular file; never a path) as the request asks. result->id is the request's.
void HelperProbe_Run(int fd, const ProbeRequest& request, ProbeResult* result) noexcept;

}  // namespace tv
