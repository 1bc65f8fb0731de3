// The HTTP stream reader (server mode) fed arbitrary bytes in arbitrary splits. The first
// input bytes choose the split sizes; the rest is the stream. The callee takes nothing
// before the final delivery, takes everything then and resets the reader, as the web
// server's handlers do.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include "http/OlvWebReader.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"

namespace {

OlvWebReader* g_reader = nullptr;  // the one being fed

void OnRequest(OlvWebSession*, OlvPacket* header, char* data, int* consumed, int length,
               tv::WebDelivery done) noexcept
{
    if (header == nullptr || done != tv::WebDelivery::Final) return;
    // Touch what a handler reads.
    volatile char sink = 0;
    if (header->path != nullptr && header->path_length > 0)
        sink = header->path[header->path_length - 1];
    if (data != nullptr && length > 0) sink = static_cast<char>(sink ^ data[length - 1]);
    (void)sink;
    *consumed = length;
    OlvWebClient_ResetReader(g_reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    const std::size_t split_bytes = data[0] % 8 + 1;
    if (size < 1 + split_bytes) return 0;
    const std::uint8_t* splits = data + 1;
    const char* stream = reinterpret_cast<const char*>(data + 1 + split_bytes);
    std::size_t stream_size = size - 1 - split_bytes;

    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        OlvChain_Stop(chain);
        OlvChain_Run(chain);
        return 0;
    }
    OlvAsyncSocket* socket = OlvAsyncSocket_Create(chain, 4096, nullptr, nullptr, nullptr, nullptr);
    OlvAsyncSocket_Adopt(socket, fds[0], nullptr, nullptr);
    OlvWebReader* reader = OlvWebClient_CreateReader(OnRequest, socket, nullptr);
    g_reader = reader;
    // A socket pair has no IPv4 address: targets naming http://0.0.0.0:80 count as ours.
    tv::WebReaderSetServerPort(reader, 80);

    std::string pending;
    std::size_t offset = 0;
    for (std::size_t turn = 0; offset < stream_size && !OlvAsyncSocket_IsFree(socket); ++turn) {
        std::size_t piece = splits[turn % split_bytes] + 1u;
        if (piece > stream_size - offset) piece = stream_size - offset;
        pending.append(stream + offset, piece);
        offset += piece;
        // The socket's delivery loop: call again while something is consumed.
        while (!pending.empty() && !OlvAsyncSocket_IsFree(socket)) {
            int consumed = 0, pause = 0;
            // A private copy per call, exactly as long as offered, so over-reads show.
            std::string offered = pending;
            OlvWebClient_OnData(socket, offered.data(), &consumed, static_cast<int>(offered.size()),
                                reader, &pause);
            if (consumed < 0 || static_cast<std::size_t>(consumed) > offered.size())
                __builtin_trap();
            if (OlvAsyncSocket_IsFree(socket)) break;
            pending.erase(0, static_cast<std::size_t>(consumed));
            if (consumed == 0) break;
        }
    }
    OlvWebClient_DestroyReader(reader);
    OlvChain_Stop(chain);
    OlvChain_Run(chain);
    ::close(fds[1]);
    return 0;
}
