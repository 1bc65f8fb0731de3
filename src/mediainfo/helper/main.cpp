// tindravoller-mediainfo: reads media files for the server, one at a time, in the order asked.
// The server starts it with a SOCK_SEQPACKET socket as descriptor 3 and its own process id as
// the one argument; files arrive as descriptors, answers go back in order, and it ends when
// the server closes its end (or dies: the parent-death signal).
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mediainfo/MediaInfoWire.h"
#include "mediainfo/helper/HelperProbe.h"
#include "mediainfo/helper/HelperSandbox.h"

namespace {

constexpr int kSocket = 3;

int Refuse(const char* what, const std::string& why)
{
    std::fprintf(stderr, "tindravoller-mediainfo: %s%s%s\n", what, why.empty() ? "" : ": ",
                 why.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    long parent = 0;
    std::string_view argument = argc == 2 ? argv[1] : "";
    std::from_chars(argument.data(), argument.data() + argument.size(), parent);
    // Set before the check, so that a server that died in between is seen as gone.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return Refuse("PR_SET_PDEATHSIG", "");
    struct stat st {};
    if (parent <= 0 || getppid() != parent || fstat(kSocket, &st) != 0 || !S_ISSOCK(st.st_mode))
        return Refuse("started by the server only", "");
    std::string why;
    if (!tv::HelperSandbox_Limit(&why)) return Refuse("limits", why);
    tv::HelperProbe_Init();
    if (!tv::HelperSandbox_Enter(&why)) return Refuse("sandbox", why);

    if (tv::Wire_Send(kSocket, tv::Wire_EncodeSignal(tv::WireType::kHello), -1, 0) < 0) return 1;
    static char buffer[tv::kWireMaxMessage];
    tv::ProbeRequest request;
    tv::ProbeResult result;
    for (;;) {
        int fd = -1;
        long n = tv::Wire_Receive(kSocket, buffer, &fd, 0);
        if (n == 0) return 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 1;
        bool ok = fd >= 0 && tv::Wire_DecodeRequest(std::string_view(buffer, n), &request);
        if (!ok) return 1;
        tv::HelperProbe_Run(fd, request, &result);
        ::close(fd);
        if (tv::Wire_Send(kSocket, tv::Wire_EncodeResult(result), -1, 0) < 0) return 1;
        if (tv::HelperSandbox_CpuSeconds() > tv::kHelperCpuRetireSeconds) {
            tv::Wire_Send(kSocket, tv::Wire_EncodeSignal(tv::WireType::kRetire), -1, 0);
            return 0;
        }
    }
}
