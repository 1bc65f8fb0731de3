// The server's life: start everything in order, run the chain, take it all down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Event.h"
#include "runtime/ServerLog.h"
#include "runtime/ServerOptions.h"

// The GetProtocolInfo Source list: what this server can serve.
inline constexpr const char kSourceProtocolInfo[] =
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM,"
    "http-get:*:audio/L16;rate=44100;channels=2:DLNA.ORG_PN=LPCM,"
    "http-get:*:video/mpeg:DLNA.ORG_PN=MPEG_PS_NTSC,"
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3,"
    "http-get:*:audio/3gpp:DLNA.ORG_PN=AMR_3GPP,"
    "http-get:*:audio/mp4:DLNA.ORG_PN=AAC_ISO_320,"
    "http-get:*:video/x-ms-wmv:DLNA.ORG_PN=WMVMED_BASE,"
    "http-get:*:audio/x-ms-wma:DLNA.ORG_PN=WMABASE,"
    "http-get:*:video/x-ms-asf:DLNA.ORG_PN=MPEG4_P2_ASF_SP_G726,"
    "http-get:*:image/png:DLNA.ORG_PN=PNG_LRG";
inline constexpr const char kSinkProtocolInfo[] = "";

inline constexpr std::size_t kFriendlyNameSize = 512;
inline constexpr std::size_t kUdnSize = 37;  // 36 characters and the NUL

namespace tv {

struct SharedFolderSet;

// Where players reach the server now: the served addresses in the system's order, then
// 127.0.0.1, dotted; and the web server's port. Its description is at http://ADDRESS:PORT/.
using ServingFn = void (*)(void* user, const std::vector<std::string>& addresses,
                           std::uint16_t http_port) noexcept;

// What the program fixes before the server starts, and what it hears back from it.
struct ServerStart {
    ServerOptions options;
    // The program's shared folders, loaded before the start; the server reads them and follows
    // their settings file until it returns. Null: an empty set of the server's own, which
    // follows the default settings file.
    SharedFolderSet* folders = nullptr;
    // Called on the chain thread once the web server and SSDP are up, then on the address
    // monitor's thread after each change of the machine's addresses. May be null.
    ServingFn serving = nullptr;
    void* user = nullptr;
    // Written by ServerMain when it returns 1: why the server could not start.
    std::string failure;
};

}  // namespace tv

// Thread entry of the server. Logs to `window`, runs until `stop_event` is set (by the
// window or a signal), then stops every thread it started and returns 0. The caller owns
// `stop_event`, so a stop that comes before the server is up is never lost. Returns 1 at
// once, with start->failure, when the HTTP port that start->options fixes cannot be had.
int ServerMain(const ServerLogTarget* window, tv::Event* stop_event,
               tv::ServerStart* start) noexcept;
// With the default options: a port drawn at start, nobody told where it serves, no folder
// shared until the default settings file changes.
int ServerMain(const ServerLogTarget* window, tv::Event* stop_event) noexcept;

// "Tindravoller DLNA - <host> -", truncated to fit the 512-byte buffer.
void ServerMain_BuildFriendlyName(const char* host_name, char (&out)[kFriendlyNameSize]) noexcept;

// A fresh UDN (without "uuid:") from 16 random bytes laid out as a GUID.
void ServerMain_NewUdn(char (&out)[kUdnSize]) noexcept;
// The formatting half of ServerMain_NewUdn, for known bytes.
void ServerMain_FormatUdn(const unsigned char (&guid)[16], char (&out)[kUdnSize]) noexcept;
