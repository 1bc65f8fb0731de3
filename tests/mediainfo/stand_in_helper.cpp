// A helper that speaks the helper's protocol without FFmpeg, for the cases a real file cannot
// bring about on demand. A file beginning "crash" kills it (SIGKILL: a sanitizer's runtime
// would turn SIGSEGV into an exit), "hang" makes it sleep, "exit" makes it end; any other
// file is answered with its first line as the title, and after "retire" it retires. Started under a
// name ending in "-dies", it ends before it is ready.
#include <csignal>
#include <cstring>
#include <string>
#include <string_view>

#include <unistd.h>

#include "mediainfo/MediaInfoWire.h"

int main(int, char** argv)
{
    constexpr int kSocket = 3;
    std::string_view self = argv[0];
    if (self.size() >= 5 && self.substr(self.size() - 5) == "-dies") return 3;
    if (tv::Wire_Send(kSocket, tv::Wire_EncodeSignal(tv::WireType::kHello), -1, 0) < 0) return 1;
    static char buffer[tv::kWireMaxMessage];
    for (;;) {
        int fd = -1;
        long n = tv::Wire_Receive(kSocket, buffer, &fd, 0);
        if (n <= 0) return 0;
        tv::ProbeRequest request;
        if (fd < 0 || !tv::Wire_DecodeRequest(std::string_view(buffer, n), &request)) return 1;
        char head[256] = {};
        ssize_t got = pread(fd, head, sizeof head - 1, 0);
        close(fd);
        std::string_view text(head, got > 0 ? static_cast<std::size_t>(got) : 0);
        if (text.substr(0, 5) == "crash") std::raise(SIGKILL);
        if (text.substr(0, 4) == "hang") pause();
        if (text.substr(0, 4) == "exit") return 0;
        tv::ProbeResult result;
        result.id = request.id;
        result.readable = !text.empty();
        result.record.title = std::string(text.substr(0, text.find('\n')));
        result.record.container = "stand-in";
        if (tv::Wire_Send(kSocket, tv::Wire_EncodeResult(result), -1, 0) < 0) return 1;
        // As the helper does when its CPU budget is spent.
        if (text.substr(0, 6) == "retire") {
            tv::Wire_Send(kSocket, tv::Wire_EncodeSignal(tv::WireType::kRetire), -1, 0);
            return 0;
        }
    }
}
