// Arbitrary bytes as a POST to the device stack: the header block up to the first blank line,
// the rest as the body. Routing, argument extraction, unescaping and number checks run as for
// a real request; answers go to a missing session and are refused there. The handlers check
// that every text they get is NUL-terminated inside the request buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "mediaserver/MediaServerAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvPacket.h"
#include "runtime/ServerContext.h"
#include "upnp/DeviceDocuments.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_internal.h"

namespace {

const char* g_begin = nullptr;
const char* g_end = nullptr;

void Check(const char* text) noexcept
{
    if (text == nullptr) __builtin_trap();
    // Texts of absent-content elements may be the stack's own empty strings.
    if (text < g_begin || text >= g_end) {
        if (text[0] != '\0') __builtin_trap();
        return;
    }
    const void* nul = std::memchr(text, 0, static_cast<std::size_t>(g_end - text));
    if (nul == nullptr) __builtin_trap();
}

void OnBrowse(OlvWebSession*, char* a, char* b, char* c, std::uint32_t, std::uint32_t,
              char* d) noexcept
{
    Check(a);
    Check(b);
    Check(c);
    Check(d);
    std::string_view flag(b);
    if (flag != "BrowseMetadata" && flag != "BrowseDirectChildren") __builtin_trap();
}

void OnSearch(OlvWebSession*, char* a, char* b, char* c, std::uint32_t, std::uint32_t,
              char* d) noexcept
{
    Check(a);
    Check(b);
    Check(c);
    Check(d);
}

void OnCreate(OlvWebSession*, char* a, char* b) noexcept
{
    Check(a);
    Check(b);
}

void OnDestroy(OlvWebSession*, char* a) noexcept
{
    Check(a);
}

void OnSimple(OlvWebSession*) noexcept {}

void OnInfo(OlvWebSession*, std::int32_t) noexcept {}

MicroStack* Stack()
{
    // The server's rows, each with a handler that checks what it is given.
    static std::vector<tv::ActionRow> rows = [] {
        std::vector<tv::ActionRow> r(tv::MsaActionTable().begin(), tv::MsaActionTable().end());
        for (tv::ActionRow& row : r) {
            if (row.name == "Browse") row.handler = tv::kActionHandler<OnBrowse>;
            if (row.name == "Search") row.handler = tv::kActionHandler<OnSearch>;
            if (row.name == "CreateObject") row.handler = tv::kActionHandler<OnCreate>;
            if (row.name == "DestroyObject") row.handler = tv::kActionHandler<OnDestroy>;
            if (row.name == "GetCurrentConnectionInfo") row.handler = tv::kActionHandler<OnInfo>;
            if (tv::InputCount(row) == 0) row.handler = tv::kActionHandler<OnSimple>;
            // Some without a handler at all.
            if (row.name == "GetSortCapabilities" || row.name == "GetCurrentConnectionIDs")
                row.handler = {};
        }
        return r;
    }();
    // Values are checked against the service records, as a stack's context has them.
    static DeviceRecord device;
    static tv::ServerContext context;
    static MicroStack* stack = [] {
        auto* s = new MicroStack;
        s->actions = rows;
        // Every mode's rows are routed.
        context.options.media_info = true;
        s->documents = tv::ServiceDocumentsCreate(rows, context.options);
        device.connection_manager =
            tv::ServiceDocumentsRecord(s->documents, tv::kServiceConnectionManager);
        device.content_directory =
            tv::ServiceDocumentsRecord(s->documents, tv::kServiceContentDirectory);
        context.device = &device;
        s->context = &context;
        return s;
    }();
    return stack;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1 << 16) return 0;
    char* buffer = static_cast<char*>(tv::Malloc(size + 1));
    if (size != 0) std::memcpy(buffer, data, size);
    buffer[size] = '\0';
    std::string_view text(buffer, size);
    std::size_t blank = text.find("\r\n\r\n");
    int header_end =
        blank == std::string_view::npos ? static_cast<int>(size) : static_cast<int>(blank) + 4;
    OlvPacket* header = OlvPacket_Parse(buffer, 0, header_end);
    if (header != nullptr && header->path != nullptr) {
        g_begin = buffer;
        g_end = buffer + size + 1;
        tv::SoapDispatch(Stack(), nullptr, header, buffer, header_end, static_cast<int>(size));
    }
    OlvPacket_Destroy(header);
    tv::Free(buffer);
    return 0;
}
