// The server's context: what one run of the server shares across its layers. ServerMain makes
// it before anything else and hands it to each layer as it creates it; nothing reaches it
// through a global. The parts that belong to a layer above this one are only named here, and
// their owner makes them (ServerMain, or a test).
#pragma once

#include <cstdint>
#include <mutex>
#include <random>

#include "runtime/ServerOptions.h"

struct DeviceRecord;

namespace tv {

struct ServedInterfaces;
struct FileIoState;
struct SharedFolderSet;
struct TransferRegistry;
struct MediaInfo;

// Who is told that new media information is in: the content source while it lives. The
// service calls Notify from its own thread; the target is set and cleared on the chain thread.
class MediaReadyTarget {
public:
    using Fn = void (*)(void* user) noexcept;
    void Set(Fn fn, void* user) noexcept
    {
        std::scoped_lock hold(lock_);
        fn_ = fn;
        user_ = user;
    }
    // Any thread; the target cannot go away while it is being called.
    void Notify() noexcept
    {
        std::scoped_lock hold(lock_);
        if (fn_ != nullptr) fn_(user_);
    }

private:
    std::mutex lock_;
    Fn fn_ = nullptr;
    void* user_ = nullptr;
};

// The one random source of a server: seeded once from the system, drawn from by any thread
// (the random ports, SSDP's delays and announcement state). Not for secrets: subscription
// ids and the UDN come from the system's random bytes.
class RandomSource {
public:
    RandomSource()
    {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        engine_.seed(seed);
    }
    // The same sequence each time, for tests.
    explicit RandomSource(std::uint32_t seed) : engine_(seed) {}
    RandomSource(const RandomSource&) = delete;
    RandomSource& operator=(const RandomSource&) = delete;

    // Any thread. 32 random bits.
    std::uint32_t Draw() noexcept
    {
        std::scoped_lock lock(lock_);
        return static_cast<std::uint32_t>(engine_());
    }

private:
    std::mutex lock_;
    std::mt19937 engine_;
};

// Made before the chain and let go after it has ended and the pool's workers are gone, so it
// outlives every object made with it. Fixed before the chain runs (the stack fills in the
// device record as it is created): only `random`, the file layer's state, the folder set and
// the transfer registry change later, each under a lock of its own.
struct ServerContext {
    ServerOptions options;
    RandomSource random;
    // The interfaces served (net/LocalAddresses.h): who is announced, answered and accepted.
    const ServedInterfaces* served = nullptr;
    // The device's identity and service records (upnp/MicroStack.h): ServerMain sets the
    // maker's part before the stack is created, the stack fills in the rest.
    DeviceRecord* device = nullptr;
    // What the file layer remembers (mediaserver/FileIoAbstraction.h).
    FileIoState* file_io = nullptr;
    // The shared folders (shares/SharedFolders.h): the program's set, which its window or
    // command line edits while the server reads it.
    SharedFolderSet* folders = nullptr;
    // The media transfers alive (mediaserver/MediaTransfer.h).
    TransferRegistry* transfers = nullptr;
    // The media information service (mediainfo/MediaInfo.h): made by ServerMain with
    // options.media_info, null without; it outlives the chain.
    MediaInfo* media_info = nullptr;
    MediaReadyTarget media_ready;
    // Off, a device stack opens no SSDP socket and sends nothing by multicast, so that tests
    // of its HTTP side can run outside a private network namespace.
    bool ssdp = true;
};

}  // namespace tv
