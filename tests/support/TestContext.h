// A server context for a test, made as ServerMain makes one: the program's default options
// (every interface served, no link followed out of the shared folders), a device record
// without identity, and parts of its own: an empty folder set without a settings file (a
// test's TempTree has one that shares folders: point `folders` at it) and a transfer
// registry. Change it before the objects under test are created with it; it must outlive their
// chain and the workers of their pool.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaTransfer.h"
#include "net/LocalAddresses.h"
#include "runtime/ServerContext.h"
#include "shares/SharedFolders.h"
#include "upnp/MicroStack.h"

namespace tv::test {

class TestContext {
public:
    TestContext()
    {
        context_.served = &served_;
        context_.device = &device_;
        context_.file_io = &file_io_;
        context_.folders = &folders_;
        context_.transfers = &transfers_;
        // A settings file that cannot exist: never the list of the user who runs the tests.
        SharedFolders_SetSettingsPath(folders_, "/dev/null/TindravollerDLNA.dat");
    }
    TestContext(const TestContext&) = delete;
    TestContext& operator=(const TestContext&) = delete;

    ServerContext* get() noexcept { return &context_; }
    ServerContext* operator->() noexcept { return &context_; }

    // Serves only these interfaces (names or dotted addresses).
    void Serve(std::vector<std::string> names) { served_.names = std::move(names); }

private:
    ServedInterfaces served_;
    DeviceRecord device_;
    FileIoState file_io_;
    SharedFolderSet folders_;
    TransferRegistry transfers_;
    ServerContext context_;
};

}  // namespace tv::test
