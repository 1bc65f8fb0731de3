// The device stack record and the helpers its source files share. Not for other folders.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "runtime/OlvChain.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerContext.h"
#include "upnp/MicroStack.h"

struct OlvAsyncSocket;
struct OlvLifeTime;
struct OlvPacket;
struct OlvWebClient;
struct OlvWebServer;
struct OlvWebSession;

namespace tv {

struct ServiceDocuments;

inline constexpr int kMaxSubscribers = 10;
// Places of a service one host on the network may hold: a few control points on one host, or
// one that restarted within a subscription's lifetime, and never most of the ten.
inline constexpr int kMaxSubscribersPerHost = 4;
inline constexpr long kMaxSubscriptionSeconds = 300;
// NOTIFYs a subscriber may have with the event client at once (one out, one waiting); a
// change beyond that is sent after them, folded into one event with all current values.
inline constexpr int kMaxNotifiesHeld = 2;

// Indices of the evented values.
enum EventedValue : int {
    kValueSourceProtocolInfo = 0,
    kValueSinkProtocolInfo = 1,
    kValueCurrentConnectionIDs = 2,
    kValueContainerUpdateIDs = 3,
    kValueSystemUpdateID = 4,
    kEventedValueCount = 5,
};

struct Subscriber {
    char sid[48] = {};
    int sid_length = 0;
    int seq = 0;
    std::uint32_t callback_address = 0;
    std::uint16_t callback_port = 0;
    std::uint32_t subscriber_address = 0;  // where the SUBSCRIBE came from
    char* callback_path = nullptr;
    int callback_path_length = 0;
    int ref_count = 0;
    int notifies_held = 0;   // NOTIFYs with the event client; each holds a reference
    int change_pending = 0;  // a change came while kMaxNotifiesHeld were held, or too soon
    int disabled = 0;
    std::int64_t last_event_ms = 0;  // when its last NOTIFY was queued (steady clock)
    std::int64_t expires = 0;
    int service = 0;
    Subscriber* next = nullptr;
    Subscriber* previous = nullptr;
};

// A group search lately answered: some kernels hand each one to every listen socket joined on
// its interface, others to a single socket of the port.
struct RecentSearch {
    std::uint32_t sender = 0;
    std::uint16_t port = 0;
    int interface_index = 0;
    std::uint64_t digest = 0;
    std::int64_t at_ms = 0;
};
constexpr int kRecentSearchCount = 8;

// A searcher's share of the answers: a bucket of reply datagrams that fills up again with
// time, and its searches waiting out their delay. An entry with a full bucket and nothing
// waiting tells nothing about its source, so another source may take it.
struct SearchSource {
    std::uint32_t address = 0;
    int pending = 0;
    std::int64_t tokens = 0;  // thousandths of a reply
    std::int64_t at_ms = 0;   // when the bucket was last filled up to now; 0: never used
};
// Searchers with a share of their own; any others share one more entry.
constexpr int kSearchSourceCount = 64;

// Events to each subscriber at most one each interval_ms; what changes in between goes out
// with the next one, which carries every value of its service. Its address keys the flush
// timer.
struct EventModeration {
    MicroStack* stack = nullptr;
    int interval_ms = 0;         // 0: every change goes out at once
    std::int64_t flush_at = -1;  // when the pending changes are looked at; -1: not planned
};

}  // namespace tv

struct MicroStack {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvChain* chain = nullptr;
    tv::ServerContext* context = nullptr;  // outlives the chain
    OlvLifeTime* timers = nullptr;
    OlvWebServer* web_server = nullptr;
    std::uint16_t http_port = 0;
    OlvWebClient* event_client = nullptr;
    char* udn_uri = nullptr;
    char* serial_number = nullptr;
    char* friendly_name = nullptr;  // copy the device record points at
    void* tag = nullptr;
    tv::ActionTable actions;                    // the owner's, for the stack's life
    tv::ServiceDocuments* documents = nullptr;  // the records the device record points at

    // SSDP
    int notify_cycle = 0;
    bool ssdp_enabled = true;
    int announce_state = 0;
    std::atomic<int> address_changed{0};
    std::uint32_t* addresses = nullptr;
    unsigned* address_interfaces = nullptr;  // interface index of each address
    std::uint32_t* address_masks = nullptr;  // network mask of each address
    int address_count = 0;
    OlvAsyncSocket** ssdp_send_sockets = nullptr;
    OlvAsyncSocket** ssdp_listen_sockets = nullptr;
    tv::RecentSearch recent_searches[tv::kRecentSearchCount];
    int recent_search_next = 0;
    tv::SearchSource search_sources[tv::kSearchSourceCount + 1];
    int searches_pending = 0;  // search replies waiting for their delay, all sources

    // GENA; subscriber_lock guards the values, the lists, their counts and every ref_count.
    std::mutex subscriber_lock;
    char* values[tv::kEventedValueCount] = {};
    tv::Subscriber* subscribers[2] = {};
    int subscriber_counts[2] = {};
    // Subscribers taken out of their list while a NOTIFY was still in flight.
    tv::Subscriber* detached = nullptr;
    tv::EventModeration moderation;  // under subscriber_lock
};

namespace tv {

// The path after its first character equals `rest` (the stack's path convention).
bool PathIs(const char* path, int path_length, std::string_view rest) noexcept;

// Documents (MicroStack_Description.cpp).
void SendDescription(OlvWebSession* session, const DeviceRecord& device, bool head) noexcept;
void SendScpd(OlvWebSession* session, ServiceRecord* service, bool head) noexcept;
void SendIcon(OlvWebSession* session, const unsigned char* data, int length) noexcept;
// The device description as served by a GET of "/", in one new buffer (tv::Free).
char* BuildDescription(const DeviceRecord& device, int* length) noexcept;

// SSDP (MicroStack_Ssdp.cpp).
void SsdpSetup(MicroStack* stack, int notify_cycle) noexcept;
void SsdpPreSelect(MicroStack* stack) noexcept;
void SsdpDestroy(MicroStack* stack) noexcept;

// A parsed M-SEARCH; the target is a NUL-terminated copy the caller frees (tv::Free).
struct SsdpSearch {
    char* target = nullptr;
    int target_length = 0;
    unsigned long mx = 0;
};
// True for an M-SEARCH that deserves an answer: method, "*" path, version 1.1, MAN
// "ssdp:discover" and a numeric MX (capped at 10). Writes NUL bytes into the datagram.
bool SsdpParseSearch(char* data, int length, SsdpSearch* search) noexcept;
// The replies for a search target: calls emit(suffix, st) for each, in order. Returns the
// count.
int SsdpForEachReply(std::string_view target, std::string_view udn,
                     void (*emit)(void* context, std::string_view usn_suffix, std::string_view st),
                     void* context) noexcept;

// SOAP (MicroStack_Soap.cpp). A recognised action is answered with a fault or handed to its
// handler; the caller answers an unknown one.
enum class SoapRouting { kRecognised, kUnknownAction };
SoapRouting SoapDispatch(MicroStack* stack, OlvWebSession* session, OlvPacket* header, char* body,
                         int begin, int end) noexcept;

// GENA (MicroStack_Gena.cpp).
void GenaSubscribe(MicroStack* stack, OlvWebSession* session, OlvPacket* header) noexcept;
void GenaUnsubscribe(MicroStack* stack, OlvWebSession* session, OlvPacket* header) noexcept;
void GenaDestroy(MicroStack* stack) noexcept;
// The SID text of 41 characters, from the system's random source.
void GenaMakeSid(char* sid) noexcept;

}  // namespace tv
