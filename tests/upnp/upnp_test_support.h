// Shared by the device stack tests: a stack on a chain thread of its own, raw HTTP exchanges
// with it over 127.0.0.1, and the capture of its log lines.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "http/OlvWebServer.h"
#include "mediaserver/MediaServerAbstraction.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/ServerLog.h"
#include "support/LoopbackClient.h"
#include "support/TestContext.h"
#include "upnp/MicroStack.h"

namespace tv::test {

inline constexpr char kTestUdn[] = "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9";
inline constexpr char kTestFriendlyName[] = "Tindravoller DLNA - host & co -";

inline bool InNamespace()
{
    const char* value = std::getenv("TV_NETNS");
    return value != nullptr && std::string_view(value) == "1";
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string DataFile(const char* name)
{
    return ReadFile(std::string(TV_TEST_DATA_DIR) + "/" + name);
}

// The identity the server main gives the device.
inline DeviceRecord ServerIdentity()
{
    DeviceRecord device;
    device.manufacturer = "Tindravoller developers";
    device.manufacturer_url = "https://tindravoller.invalid/";
    device.model_name = "Tindravoller";
    device.model_description = "Tindravoller DLNA ";
    device.model_number = "1.0";
    device.model_url = "https://tindravoller.invalid/";
    return device;
}

// Lines the stack logged.
class LogCapture {
public:
    LogCapture() { ServerLog_SetTarget(&Target()); }
    ~LogCapture() { ServerLog_SetTarget(nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    static std::vector<std::string> Lines()
    {
        std::scoped_lock lock(Mutex());
        return Store();
    }
    static void Clear()
    {
        std::scoped_lock lock(Mutex());
        Store().clear();
    }

private:
    static std::mutex& Mutex()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::string>& Store()
    {
        static std::vector<std::string> lines;
        return lines;
    }
    static const ServerLogTarget& Target()
    {
        static const ServerLogTarget target{.append = Take, .window = nullptr};
        return target;
    }
    static void Take(void* /*window*/, const char* line) noexcept
    {
        std::scoped_lock lock(Mutex());
        Store().emplace_back(line);
    }
};

// A device stack on a chain thread, with a context of its own, routing by a copy of the
// server's action table. The stack starts with `identity`'s maker fields and the modes of
// `options`; configure it through its device record and the handlers before Start(). The
// destructor stops the chain, which destroys the stack.
class StackHost {
public:
    explicit StackHost(bool ssdp = false, const char* udn = kTestUdn,
                       const char* friendly_name = kTestFriendlyName,
                       const DeviceRecord& identity = {}, const ServerOptions& options = {})
        : actions_(MsaActionTable().begin(), MsaActionTable().end())
    {
        *context_->device = identity;
        context_->ssdp = ssdp;
        context_->options = options;
        chain_ = OlvChain_Create(OlvLifeTime_Create);
        stack_ = MicroStack_Create(chain_, context_.get(), friendly_name, udn, "0000001", 1800, 0,
                                   actions_);
        port_ = MicroStack_GetHttpPort(stack_);
        thread_ = std::make_unique<ChainThread>(chain_);
    }
    ~StackHost() { thread_->Stop(); }
    StackHost(const StackHost&) = delete;
    StackHost& operator=(const StackHost&) = delete;

    void Start() { thread_->Start(); }
    void Stop() { thread_->Stop(); }
    MicroStack* stack() const { return stack_; }
    OlvChain* chain() const { return chain_; }
    DeviceRecord* device() { return context_->device; }
    std::uint16_t port() const { return port_; }

    // Before Start(): the action of that name calls `handler` (none: no handler at all).
    void SetHandler(std::string_view action, ActionHandler handler)
    {
        for (ActionRow& row : actions_) {
            if (row.name == action) row.handler = handler;
        }
    }
    void ClearHandlers()
    {
        for (ActionRow& row : actions_) row.handler = {};
    }

private:
    std::vector<ActionRow> actions_;  // the stack routes by it, in place
    TestContext context_;
    OlvChain* chain_ = nullptr;
    MicroStack* stack_ = nullptr;
    std::uint16_t port_ = 0;
    std::unique_ptr<ChainThread> thread_;
};

// One request on a fresh connection, read until the server closes it (send HTTP/1.0 or
// "Connection: close" requests).
inline std::string Exchange(std::uint16_t port, std::string_view request, int timeout_ms = 5000)
{
    LoopbackClient client(port, timeout_ms);
    if (!client.connected()) return "<no connection>";
    client.Send(request);
    return client.ReadAll();
}

struct HttpResponse {
    std::string head;  // status line and headers, with the blank line
    std::string body;  // de-chunked
    bool complete = false;
};

// Reads one response from a kept-alive connection: the head, then a body framed by
// Content-Length or chunks. With `head_only` nothing after the head is read.
inline HttpResponse ReadResponse(LoopbackClient& client, bool head_only = false)
{
    HttpResponse response;
    response.head = client.ReadUntil("\r\n\r\n");
    if (response.head.size() < 4 || response.head.substr(response.head.size() - 4) != "\r\n\r\n")
        return response;
    if (head_only) {
        response.complete = true;
        return response;
    }
    std::string lower = response.head;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("transfer-encoding: chunked") != std::string::npos) {
        for (;;) {
            std::string line = client.ReadUntil("\r\n");
            if (line.size() < 2) return response;
            unsigned long size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) {
                if (client.ReadUntil("\r\n") != "\r\n") return response;
                break;
            }
            std::string piece = client.ReadBytes(size);
            if (piece.size() != size) return response;
            response.body += piece;
            if (client.ReadBytes(2) != "\r\n") return response;
        }
        response.complete = true;
        return response;
    }
    std::size_t at = lower.find("content-length:");
    if (at != std::string::npos) {
        unsigned long size = std::strtoul(lower.c_str() + at + 15, nullptr, 10);
        response.body = client.ReadBytes(size);
        response.complete = response.body.size() == size;
        return response;
    }
    response.complete = true;
    return response;
}

}  // namespace tv::test
