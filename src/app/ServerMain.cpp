// Server main: brings the server up in a fixed order on the calling thread, which then
// becomes the chain thread; a stop watcher and an address monitor run beside it, and three
// workers serve the pool. Everything started here is stopped and joined here.
#include "app/ServerMain.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include <sys/random.h>
#include <unistd.h>

#include "app/AddressMonitor.h"
#include "app/ServiceNotify.h"
#include "content/DmsIntegration.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvThreadPool.h"
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

// The chain's first turn: the web server and the SSDP sockets were made before it and are
// served from now on. A stop that came first has said STOPPING=1 already.
void NotifyReady(void* stop_event) noexcept
{
    if (!static_cast<tv::Event*>(stop_event)->IsSet()) ServiceNotify("READY=1");
}

// Runs on the address monitor thread; the content source only flags the device stack and
// wakes the chain, so the rebuild itself happens on the chain thread.
void NotifyAddressChange(void* content_source) noexcept
{
    DmsIntegration_NotifyAddressChange(static_cast<DmsIntegration*>(content_source));
}

// Set before the stack exists, so that its own defaults do not apply.
void SetDeviceIdentity() noexcept
{
    DeviceRecord* record = MicroStack_GetDeviceRecord();
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

int ServerMain(const ServerLogTarget* window, tv::Event* stop_event,
               const tv::ServerOptions* options) noexcept
{
    char host[kHostNameSize];
    ReadHostName(host);

    ServerLog_SetTarget(window);
    ServerLog("Started Media Server");

    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);

    OlvThreadPool* pool = OlvThreadPool_Create();
    std::thread workers[kWorkerCount];
    for (std::thread& worker : workers) worker = std::thread(WorkerThread, pool);
    // Destroy may only run once every worker is inside the pool.
    tv::ThreadPoolWaitForWorkers(pool, kWorkerCount);

    SetDeviceIdentity();

    char friendly_name[kFriendlyNameSize];
    ServerMain_BuildFriendlyName(host, friendly_name);
    char udn[kUdnSize];
    ServerMain_NewUdn(udn);

    // The content root, a single backslash, is the virtual root whose children are the
    // shared folders.
    DmsIntegration* content_source =
        DmsIntegration_Create(chain, pool, 0, friendly_name, udn, kSerialNumber, 0, 0,
                              kSinkProtocolInfo, kSourceProtocolInfo, "\\", options);
    if (content_source == nullptr)
        ServerLog("The media server could not be started");
    else
        tv::LifeTimeAddNextTurn(tv::ChainTimer(chain), stop_event, NotifyReady, nullptr);

    // The monitor starts first so that the stop watcher always has it to stop.
    AddressMonitor* address_monitor = AddressMonitor_Start(NotifyAddressChange, content_source);
    std::thread stop_watcher(StopWatcherThread,
                             StopWatcherArgs{stop_event, address_monitor, chain});

    OlvChain_Run(chain);

    stop_watcher.join();
    OlvThreadPool_Destroy(pool);
    for (std::thread& worker : workers) worker.join();
    ServerLog_SetTarget(nullptr);
    return 0;
}
