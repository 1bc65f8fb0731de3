// Server main: brings the server up in a fixed order on the calling thread, which then
// becomes the chain thread; a stop watcher and an address monitor run beside it, and three
// workers serve the pool. Everything started here is stopped and joined here.
#include "app/ServerMain.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <unistd.h>

#include "app/AddressMonitor.h"
#include "app/ServiceNotify.h"
#include "content/DmsIntegration.h"
#include "content/DmsMedia.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaTransfer.h"
#include "net/LocalAddresses.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvThreadPool.h"
#include "runtime/ServerContext.h"
#include "shares/SharedFolders.h"
#include "upnp/MicroStack.h"

namespace {

constexpr int kWorkerCount = 3;
constexpr std::size_t kHostNameSize = 256;

// The maker's part of the device identity.
constexpr const char kManufacturer[] = "Tindravoller developers";
constexpr const char kMakerUrl[] = "https://tindravoller.invalid/";
constexpr const char kModelName[] = "Tindravoller";
constexpr const char kModelDescription[] = "Tindravoller DLNA ";
constexpr const char kModelNumber[] = "1.0";
constexpr const char kSerialNumber[] = "0000001";

struct StopWatcherArgs {
    tv::Event* stop_event;
    AddressMonitor* address_monitor;
    OlvChain* chain;
};

// One run, shared by the chain thread and the address monitor's.
struct ServerRun {
    OlvChain* chain = nullptr;
    tv::Event* stop_event = nullptr;
    tv::ServerStart* start = nullptr;
    const tv::ServedInterfaces* served = nullptr;
    DmsIntegration* content_source = nullptr;
    std::uint16_t http_port = 0;
    std::atomic<bool> up{false};  // the web server answers; where it does has been told
};

void WorkerThread(OlvThreadPool* pool) noexcept
{
    OlvThreadPool_Run(pool);
}

void StopWatcherThread(StopWatcherArgs args) noexcept
{
    args.stop_event->Wait();
    ServiceNotify("STOPPING=1");
    AddressMonitor_Stop(args.address_monitor);
    OlvChain_Stop(args.chain);
}

void ReportServing(const ServerRun& run) noexcept
{
    if (run.start->serving == nullptr) return;
    std::vector<std::string> addresses;
    for (const tv::LocalAddress& local : tv::LocalAddressList(*run.served)) {
        char text[INET_ADDRSTRLEN];
        in_addr address{.s_addr = local.address};
        if (inet_ntop(AF_INET, &address, text, sizeof text) != nullptr)
            addresses.emplace_back(text);
    }
    run.start->serving(run.start->user, addresses, run.http_port);
}

// The chain's second turn: the web server and the SSDP sockets were made before the chain
// ran, and the listening socket listens from its first pre_select on, which comes after the
// chain's timers in the first turn. A stop that came first has said STOPPING=1 already.
void NotifyReady(void* data) noexcept
{
    auto* run = static_cast<ServerRun*>(data);
    if (run->stop_event->IsSet()) return;
    run->up.store(true);
    ReportServing(*run);
    ServiceNotify("READY=1");
}

void NotifyReadyNextTurn(void* data) noexcept
{
    auto* run = static_cast<ServerRun*>(data);
    tv::LifeTimeAddNextTurn(tv::ChainTimer(run->chain), run, NotifyReady, nullptr);
}

// Runs on the address monitor thread; the content source only flags the device stack and
// wakes the chain, so the rebuild itself happens on the chain thread.
void NotifyAddressChange(void* data) noexcept
{
    auto* run = static_cast<ServerRun*>(data);
    DmsIntegration_NotifyAddressChange(run->content_source);
    if (run->up.load()) ReportServing(*run);
}

// A port the options fix must be free: without one the web server would come up on none.
bool PortFree(std::uint16_t port, std::string* why) noexcept
{
    char error[128] = "";
    int fd = -1;
    if (OlvBindStreamSocket(htonl(INADDR_ANY), port, nullptr, &fd, error, sizeof error) != 0) {
        ::close(fd);
        return true;
    }
    *why = "the HTTP port " + std::to_string(port) + " cannot be used (" + error + ")";
    return false;
}

// Set before the stack exists, so that its own defaults do not apply.
void SetDeviceIdentity(DeviceRecord* record) noexcept
{
    record->manufacturer = kManufacturer;
    record->manufacturer_url = kMakerUrl;
    record->model_name = kModelName;
    record->model_description = kModelDescription;
    record->model_number = kModelNumber;
    record->model_url = kMakerUrl;
}

void ReadHostName(char (&host)[kHostNameSize]) noexcept
{
    if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    host[sizeof host - 1] = '\0';
}

}  // namespace

void ServerMain_BuildFriendlyName(const char* host_name, char (&out)[kFriendlyNameSize]) noexcept
{
    std::snprintf(out, sizeof out, "Tindravoller DLNA - %s -", host_name);
}

void ServerMain_FormatUdn(const unsigned char (&guid)[16], char (&out)[kUdnSize]) noexcept
{
    // The bytes as a GUID: a 32-bit field, two 16-bit fields, then eight bytes as stored.
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::memcpy(&data1, guid, 4);
    std::memcpy(&data2, guid + 4, 2);
    std::memcpy(&data3, guid + 6, 2);
    const unsigned char* d4 = guid + 8;
    std::snprintf(out, sizeof out, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned>(data1), static_cast<unsigned>(data2),
                  static_cast<unsigned>(data3), d4[0], d4[1], d4[2], d4[3], d4[4], d4[5], d4[6],
                  d4[7]);
}

void ServerMain_NewUdn(char (&out)[kUdnSize]) noexcept
{
    unsigned char guid[16];
    std::size_t filled = 0;
    while (filled < sizeof guid) {
        ssize_t got = getrandom(guid + filled, sizeof guid - filled, 0);
        if (got <= 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled < sizeof guid) {
        std::random_device device;
        for (unsigned char& byte : guid) byte = static_cast<unsigned char>(device());
    }
    ServerMain_FormatUdn(guid, out);
}

namespace {

// 0 when the content source serves on the port asked for (its readiness then announced at
// the chain's first turn), else 1.
int CheckServing(ServerRun* run, std::uint16_t port)
{
    if (run->content_source == nullptr) {
        ServerLog("The media server could not be started");
        return 0;
    }
    run->http_port = MicroStack_GetHttpPort(run->content_source->device);
    // Taken between the check and the bind: the server never served.
    if (port != 0 && run->http_port != port) {
        PortFree(port, &run->start->failure);
        if (run->start->failure.empty())
            run->start->failure = "the HTTP port " + std::to_string(port) + " cannot be used";
        return 1;
    }
    tv::LifeTimeAddNextTurn(tv::ChainTimer(run->chain), run, NotifyReadyNextTurn, nullptr);
    return 0;
}

// Runs the chain until the stop event (serving), or only to take down what was added to it.
void RunChain(ServerRun* run, bool serving)
{
    if (!serving) {
        OlvChain_Stop(run->chain);
        OlvChain_Run(run->chain);
        return;
    }
    // The monitor starts first so that the stop watcher always has it to stop.
    AddressMonitor* address_monitor = AddressMonitor_Start(NotifyAddressChange, run);
    std::thread stop_watcher(StopWatcherThread,
                             StopWatcherArgs{run->stop_event, address_monitor, run->chain});
    OlvChain_Run(run->chain);
    stop_watcher.join();
}

}  // namespace

int ServerMain(const ServerLogTarget* window, tv::Event* stop_event,
               tv::ServerStart* start) noexcept
{
    char host[kHostNameSize];
    ReadHostName(host);

    const std::uint16_t port = start->options.port;
    if (port != 0 && !PortFree(port, &start->failure)) return 1;

    // Made first and let go last: every layer keeps it until the chain has ended.
    const tv::ServedInterfaces served{start->options.interfaces};
    DeviceRecord device;
    tv::FileIoState file_io;
    tv::SharedFolderSet own_folders;
    tv::TransferRegistry transfers;
    tv::ServerContext context;
    context.options = start->options;
    context.served = &served;
    context.device = &device;
    context.file_io = &file_io;
    context.folders = start->folders != nullptr ? start->folders : &own_folders;
    context.transfers = &transfers;

    ServerLog_SetTarget(window);
    ServerLog("Started Media Server");
    // Only with the option: without it no thread, helper or cache is ever made.
    if (context.options.media_info)
        context.media_info = tv::DmsMediaInfoCreate(&context, tv::MediaInfoOptions{});

    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);

    OlvThreadPool* pool = OlvThreadPool_Create();
    std::thread workers[kWorkerCount];
    for (std::thread& worker : workers) worker = std::thread(WorkerThread, pool);
    // Destroy may only run once every worker is inside the pool.
    tv::ThreadPoolWaitForWorkers(pool, kWorkerCount);

    SetDeviceIdentity(context.device);

    char friendly_name[kFriendlyNameSize];
    ServerMain_BuildFriendlyName(host, friendly_name);
    char udn[kUdnSize];
    ServerMain_NewUdn(udn);

    // The content root, a single backslash, is the virtual root whose children are the
    // shared folders.
    ServerRun run;
    run.chain = chain;
    run.stop_event = stop_event;
    run.start = start;
    run.served = &served;
    run.content_source =
        DmsIntegration_Create(chain, &context, pool, port, friendly_name, udn, kSerialNumber, 0, 0,
                              kSinkProtocolInfo, kSourceProtocolInfo, "\\");
    const int result = CheckServing(&run, port);
    RunChain(&run, result == 0);

    OlvThreadPool_Destroy(pool);
    for (std::thread& worker : workers) worker.join();
    // Ends and reaps its helpers and writes the cache; the chain that heard it has ended.
    tv::MediaInfo_Destroy(context.media_info);
    ServerLog_SetTarget(nullptr);
    return result;
}

int ServerMain(const ServerLogTarget* window, tv::Event* stop_event) noexcept
{
    tv::ServerStart start;
    return ServerMain(window, stop_event, &start);
}
