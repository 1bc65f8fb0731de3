// The media server layer on a real device stack over 127.0.0.1, with a fake content source in
// its slots: log lines, BrowseFlag checks, argument copies, the address copy, dispatch faults,
// the streamed Browse response on the wire, and answers given later from other threads.
#include "mediaserver/MediaServerAbstraction.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/OlvWebServer.h"
#include "support/ChainRunner.h"
#include "support/LoopbackClient.h"
#include "upnp/upnp_test_support.h"

namespace {

using tv::test::Exchange;
using tv::test::LogCapture;
using tv::test::LoopbackClient;
using tv::test::ReadResponse;
using tv::test::StackHost;

constexpr char kCds[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr char kCms[] = "urn:schemas-upnp-org:service:ConnectionManager:1";
constexpr char kOkHead[] =
    "HTTP/1.1 200 OK\r\nEXT:\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\n"
    "SERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n\r\n";
constexpr char kRootPlain[] =
    "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
    "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot;&gt;";
constexpr char kRootDlna[] =
    "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
    "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
    "xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot;&gt;";

// ---- What the fake content source saw, and how it answers ----

enum class Answer { Items, NoRoot, Worker, WorkerLate };

struct Seen {
    int browse_calls = 0;
    int kind = -1;
    std::string object_id, filter, sort_criteria, search_criteria;
    bool has_search_criteria = false;
    std::uint32_t starting_index = 0, requested_count = 0;
    std::uint16_t port = 0;
    std::uint32_t receiving_address = 0;
    std::vector<std::uint32_t> addresses;
    int connection_info_calls = 0;
    std::int32_t connection_id = 12345;
    int holders_in_handler = -1;
    std::vector<int> statistics;  // the Browse counter at each hook call
    int statistics_calls = 0;
    std::vector<std::uint32_t> counters;  // every counter at the last hook call
};

std::mutex g_mutex;
Seen g_seen;
std::atomic<Answer> g_answer{Answer::Items};
std::vector<std::thread> g_workers;  // joined by the test that started them
std::atomic<int> g_worker_begin{0};
std::atomic<int> g_worker_end{0};
std::atomic<int> g_worker_done{0};

Seen Snapshot()
{
    std::scoped_lock lock(g_mutex);
    return g_seen;
}

void ResetFake()
{
    std::scoped_lock lock(g_mutex);
    g_seen = Seen{};
    g_answer = Answer::Items;
    g_worker_begin = 0;
    g_worker_end = 0;
    g_worker_done = 0;
}

int Holders(OlvWebSession* session)
{
    return tv::WebSessionHoldersForTest(session);
}

void StreamItems(MSA_Server* server, OlvWebSession* session, MSA_BrowseRequest* request)
{
    MSA_BeginResult(server, session, request, 1);
    const char first[] = "&lt;item id=&quot;1&quot;/&gt;";
    MSA_AppendResult(server, session, first, static_cast<int>(std::strlen(first)));
    MSA_AppendResult(server, session, "second+ignored", 6);
    MSA_EndResult(server, session, request, 1, 2, 5, 0);
}

void FakeBrowse(MSA_Server* server, OlvWebSession* session, MSA_BrowseRequest* request) noexcept
{
    {
        std::scoped_lock lock(g_mutex);
        ++g_seen.browse_calls;
        g_seen.kind = request->kind;
        g_seen.object_id = request->object_id;
        g_seen.filter = request->filter;
        g_seen.sort_criteria = request->sort_criteria;
        g_seen.has_search_criteria = request->search_criteria != nullptr;
        if (request->search_criteria != nullptr) g_seen.search_criteria = request->search_criteria;
        g_seen.starting_index = request->starting_index;
        g_seen.requested_count = request->requested_count;
        g_seen.port = request->port;
        g_seen.receiving_address = request->receiving_address;
        g_seen.addresses.assign(request->addresses, request->addresses + request->address_count);
        g_seen.holders_in_handler = Holders(session);
    }
    switch (g_answer.load()) {
    case Answer::Items:
        StreamItems(server, session, request);
        break;
    case Answer::NoRoot:
        MSA_BeginResult(server, session, request, 0);
        MSA_AppendResult(server, session, "x", 1);
        MSA_EndResult(server, session, request, 0, 1, 1, 7);
        break;
    case Answer::Worker:
    case Answer::WorkerLate: {
        // The handler returns at once; the answer comes from another thread later, relying
        // only on the hold taken at dispatch.
        const int delay_ms = g_answer.load() == Answer::Worker ? 50 : 400;
        std::scoped_lock lock(g_mutex);
        g_workers.emplace_back([server, session, request, delay_ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
            int begin = MSA_BeginResult(server, session, request, 1);
            MSA_AppendResult(server, session, "late", 4);
            int end = MSA_EndResult(server, session, request, 1, 1, 1, 0);
            g_worker_begin = begin;
            g_worker_end = end;
            MSA_FreeBrowseRequest(request);
            g_worker_done = 1;
        });
        return;
    }
    }
    MSA_FreeBrowseRequest(request);
}

void FakeSystemUpdateId(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetSystemUpdateID(server, session,
                                 static_cast<std::uint32_t>(MSA_GetSystemUpdateID(server)));
}

void FakeSearchCaps(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetSearchCapabilities(server, session, "");
}

void FakeSortCaps(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetSortCapabilities(server, session, "dc:title");
}

void FakeProtocolInfo(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetProtocolInfo(server, session, "http-get:*:audio/mpeg:*", "");
}

void FakeConnectionIds(MSA_Server* server, OlvWebSession* session) noexcept
{
    MSA_RespondGetCurrentConnectionIDs(server, session, "0");
}

void FakeConnectionInfo(MSA_Server* server, OlvWebSession* session, std::int32_t id) noexcept
{
    {
        std::scoped_lock lock(g_mutex);
        ++g_seen.connection_info_calls;
        g_seen.connection_id = id;
    }
    if (id == 0) {
        MSA_RespondGetCurrentConnectionInfo(server, session, -1, -1, "", "", -1, "Output",
                                            "Unknown");
    } else {
        MSA_RespondError(server, session, 706, "Connection does not exist.");
    }
}

void FakeStatistics(MSA_Server*, const tv::MsaStatistics* statistics) noexcept
{
    std::scoped_lock lock(g_mutex);
    ++g_seen.statistics_calls;
    g_seen.statistics.push_back(static_cast<int>(statistics->count[tv::kMsaStatBrowse]));
    g_seen.counters.assign(std::begin(statistics->count), std::end(statistics->count));
}

int g_user_object = 0;

// A device stack with the media server layer and the fake content source in every slot.
class MsaHost {
public:
    explicit MsaHost(const tv::ServerOptions& options = {})
        : host_(false, tv::test::kTestUdn, tv::test::kTestFriendlyName, {}, options)
    {
        ResetFake();
        server_ =
            MSA_Create(host_.chain(), host_.stack(), "sink-info", "source-info", &g_user_object);
        server_->on_statistics = FakeStatistics;
        server_->on_browse_search = FakeBrowse;
        server_->on_get_system_update_id = FakeSystemUpdateId;
        server_->on_get_search_capabilities = FakeSearchCaps;
        server_->on_get_sort_capabilities = FakeSortCaps;
        server_->on_get_protocol_info = FakeProtocolInfo;
        server_->on_get_current_connection_ids = FakeConnectionIds;
        server_->on_get_current_connection_info = FakeConnectionInfo;
    }
    MsaHost(const MsaHost&) = delete;
    MsaHost& operator=(const MsaHost&) = delete;

    void Start() { host_.Start(); }
    void Stop() { host_.Stop(); }
    MSA_Server* server() const { return server_; }
    StackHost& stack_host() { return host_; }
    std::uint16_t port() const { return host_.port(); }

private:
    tv::test::HangGuard guard_{"media server test"};
    StackHost host_;
    MSA_Server* server_ = nullptr;
};

// ---- Wire helpers ----

std::string SoapRequest(const char* service, const char* action, const std::string& arguments,
                        const char* version = "1.0")
{
    const bool cds = std::strcmp(service, kCds) == 0;
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        std::string(action) + " xmlns:u=\"" + service + "\">" + arguments + "</u:" + action +
        "></s:Body></s:Envelope>";
    return std::string("POST /") + (cds ? "ContentDirectory" : "ConnectionManager") +
           "/control HTTP/" + version + "\r\nHost: 127.0.0.1\r\nSOAPACTION: \"" + service + "#" +
           action + "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string BrowseArguments(const std::string& object_id, const std::string& flag,
                            const std::string& filter = "*", const std::string& start = "0",
                            const std::string& count = "0", const std::string& sort = "")
{
    return "<ObjectID>" + object_id + "</ObjectID><BrowseFlag>" + flag + "</BrowseFlag><Filter>" +
           filter + "</Filter><StartingIndex>" + start + "</StartingIndex><RequestedCount>" +
           count + "</RequestedCount><SortCriteria>" + sort + "</SortCriteria>";
}

std::string Browse(std::uint16_t port, const std::string& object_id, const std::string& flag,
                   const std::string& filter = "*")
{
    return Exchange(port, SoapRequest(kCds, "Browse", BrowseArguments(object_id, flag, filter)));
}

std::string Fault(int code, const std::string& description)
{
    std::string body =
        "<s:Envelope\r\n xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail><UPnPError "
        "xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
        std::to_string(code) + "</errorCode><errorDescription>" + description +
        "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
    return "HTTP/1.1 500 Internal\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

// A complete (unstreamed) response to an HTTP/1.0 request.
std::string Complete(const char* service, const std::string& action, const std::string& xml)
{
    return std::string(kOkHead) +
           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:" +
           action + "Response xmlns:u=\"" + service + "\">" + xml + "</u:" + action +
           "Response></s:Body></s:Envelope>";
}

// The body of a streamed Browse or Search response.
std::string StreamedBody(const std::string& action, const std::string& result,
                         std::uint32_t returned, std::uint32_t total, std::uint32_t update_id)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<s:Body>\r\n<u:" +
           action + "Response xmlns:u=\"" + kCds + "\"><Result>" + result +
           "</Result>\r\n<NumberReturned>" + std::to_string(returned) +
           "</NumberReturned>\r\n<TotalMatches>" + std::to_string(total) +
           "</TotalMatches>\r\n<UpdateID>" + std::to_string(update_id) +
           "</UpdateID>\r\n</u:" + action + "Response>\r\n   </s:Body>\r\n</s:Envelope>";
}

std::uint32_t Address(const char* dotted)
{
    return inet_addr(dotted);
}

// One Browse on a kept-alive connection. Hold counts are compared on such connections only:
// closing one makes the web server hold the session for a moment itself.
tv::test::HttpResponse BrowseOn(LoopbackClient& client, const std::string& flag)
{
    client.Send(SoapRequest(kCds, "Browse", BrowseArguments("0", flag), "1.1"));
    return ReadResponse(client);
}

// ---- Device slot wrappers for the "called directly" cases ----

std::mutex g_direct_mutex;
std::string g_flag_override;
int g_direct_result = 99;
int g_holders_before = -1, g_holders_after = -1;
int g_direct_calls = 0;  // the wrapper has recorded its results this many times

// The client may read the answer before the wrapper has written down what it saw.
void WaitForDirectCalls(int count)
{
    EXPECT_TRUE(tv::test::WaitUntil([count] {
        std::scoped_lock lock(g_direct_mutex);
        return g_direct_calls >= count;
    }));
}

int DirectCalls()
{
    std::scoped_lock lock(g_direct_mutex);
    return g_direct_calls;
}

void DirectBrowse(OlvWebSession* session, char* object_id, char*, char* filter,
                  std::uint32_t starting_index, std::uint32_t requested_count,
                  char* sort_criteria) noexcept
{
    std::string flag;
    {
        std::scoped_lock lock(g_direct_mutex);
        flag = g_flag_override;
    }
    int before = Holders(session);
    int result = MediaServer_ContentDirectory_Browse(
        session, object_id, flag.c_str(), filter, starting_index, requested_count, sort_criteria);
    int after = Holders(session);
    std::scoped_lock lock(g_direct_mutex);
    g_direct_result = result;
    g_holders_before = before;
    g_holders_after = after;
    ++g_direct_calls;
}

// ---- Tests ----

TEST(MediaServerAbstraction, CreationSwitchesActionsOffAndKeepsItsState)
{
    MsaHost host;
    EXPECT_EQ(MSA_GetUser(host.server()), &g_user_object);
    EXPECT_EQ(MSA_GetUser(nullptr), nullptr);
    EXPECT_EQ(MSA_GetSystemUpdateID(nullptr), -1);
    host.Start();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Exchange(host.port(), SoapRequest(kCds, "GetSystemUpdateID", "")),
                  Complete(kCds, "GetSystemUpdateID", "<Id>0</Id>"));
    }
    // Switched off: not described, still routed, and nobody handles it.
    std::string scpd = Exchange(host.port(), "GET /ContentDirectory/scpd.xml HTTP/1.0\r\n\r\n");
    EXPECT_NE(scpd.find("<name>Browse</name>"), std::string::npos);
    EXPECT_EQ(scpd.find("CreateObject"), std::string::npos);
    EXPECT_EQ(scpd.find("DestroyObject"), std::string::npos);
    EXPECT_EQ(Exchange(host.port(), SoapRequest(kCds, "CreateObject",
                                                "<ContainerID>0</ContainerID><Elements/>")),
              Fault(501, "No Function Handler"));
}

TEST(MediaServerAbstraction, EveryActionLogsItsLineAndCountsIt)
{
    MsaHost host;
    LogCapture window_log;
    LogCapture::Clear();
    host.Start();
    const std::uint16_t port = host.port();

    testing::internal::CaptureStdout();
    Browse(port, "0\\a&amp;b", "BrowseDirectChildren");
    Browse(port, "0", "BrowseMetadata");
    Browse(port, "0\r\nUPnP Invoke: forged", "BrowseMetadata");  // a line of its own, if let
    Exchange(port, SoapRequest(kCds, "Search",
                               "<ContainerID>0</ContainerID><SearchCriteria>*</SearchCriteria>"
                               "<Filter>*</Filter><StartingIndex>0</StartingIndex>"
                               "<RequestedCount>0</RequestedCount><SortCriteria></SortCriteria>"));
    for (const char* action : {"GetSystemUpdateID", "GetSearchCapabilities", "GetSortCapabilities"})
        Exchange(port, SoapRequest(kCds, action, ""));
    std::string protocol = Exchange(port, SoapRequest(kCms, "GetProtocolInfo", ""));
    Exchange(port, SoapRequest(kCms, "GetCurrentConnectionIDs", ""));
    Exchange(port, SoapRequest(kCms, "GetCurrentConnectionInfo", "<ConnectionID>0</ConnectionID>"));
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out,
              "UPnP Invoke: MediaServer_ContentDirectory_Browse() - ID 0\\a&b;\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_Browse() - ID 0;\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_Browse() - ID "
              "0\\x0d\\x0aUPnP Invoke: forged;\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_Search();\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_GetSystemUpdateID();\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_GetSearchCapabilities();\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_GetSortCapabilities();\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetProtocolInfo();\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionIDs();\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionInfo(0);\r\n");
    EXPECT_EQ(LogCapture::Lines(), (std::vector<std::string>{"BrowseDirectChildren",
                                                             "BrowseMetaData", "BrowseMetaData"}));

    // The content source's texts reach the typed answers.
    EXPECT_EQ(protocol, Complete(kCms, "GetProtocolInfo",
                                 "<Source>http-get:*:audio/mpeg:*</Source><Sink></Sink>"));

    Seen seen = Snapshot();
    EXPECT_EQ(seen.statistics_calls, 10);
    // The Browse counter as each hook call saw it: three Browses, then unchanged.
    EXPECT_EQ(seen.statistics, (std::vector<int>{1, 2, 3, 3, 3, 3, 3, 3, 3, 3}));
    host.Stop();
}

TEST(MediaServerAbstraction, BrowseFlagExactOnTheWireAnyCaseWhenCalledDirectly)
{
    MsaHost host;
    host.Start();
    const std::uint16_t port = host.port();

    Browse(port, "0", "BrowseMetadata");
    EXPECT_EQ(Snapshot().kind, 0);
    Browse(port, "0", "BrowseDirectChildren");
    EXPECT_EQ(Snapshot().kind, 1);
    // The SOAP layer refuses other spellings before this layer sees them.
    EXPECT_EQ(Browse(port, "0", "browsemetadata"), Fault(402, "Illegal value"));
    EXPECT_EQ(Snapshot().browse_calls, 2);
    host.Stop();

    // Called directly, this layer compares without regard to case.
    MsaHost direct;
    direct.stack_host().SetHandler("Browse", tv::kActionHandler<DirectBrowse>);
    direct.Start();
    LoopbackClient client(direct.port());
    struct Case {
        const char* flag;
        int kind;
    } cases[] = {{"browsedirectchildren", 1}, {"BrowseMetaData", 0}, {"BROWSEMETADATA", 0}};
    for (const Case& c : cases) {
        {
            std::scoped_lock lock(g_direct_mutex);
            g_flag_override = c.flag;
        }
        int calls = Snapshot().browse_calls;
        int direct_calls = DirectCalls();
        EXPECT_TRUE(BrowseOn(client, "BrowseMetadata").complete);
        WaitForDirectCalls(direct_calls + 1);
        Seen seen = Snapshot();
        EXPECT_EQ(seen.browse_calls, calls + 1) << c.flag;
        EXPECT_EQ(seen.kind, c.kind) << c.flag;
        std::scoped_lock lock(g_direct_mutex);
        EXPECT_EQ(g_direct_result, 0);
        // Held for the content source, given back by its final answer.
        EXPECT_EQ(seen.holders_in_handler, g_holders_before + 1);
        EXPECT_EQ(g_holders_after, g_holders_before);
    }

    for (const char* bad : {"Browse", "", "BrowseDirectChildrenX"}) {
        {
            std::scoped_lock lock(g_direct_mutex);
            g_flag_override = bad;
        }
        int calls = Snapshot().browse_calls;
        int direct_calls = DirectCalls();
        testing::internal::CaptureStderr();
        tv::test::HttpResponse answer = BrowseOn(client, "BrowseMetadata");
        WaitForDirectCalls(direct_calls + 1);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(answer.head + answer.body, Fault(402, "Invalid value specified for BrowseFlag."));
        EXPECT_EQ(err, std::string("WARNING: MediaServer_ContentDirectory_Browse(): Possible error "
                                   "with generated microstack. Encountered BrowseFlag='") +
                           bad + "'\r\n");
        EXPECT_EQ(Snapshot().browse_calls, calls) << "nothing is dispatched for " << bad;
        std::scoped_lock lock(g_direct_mutex);
        EXPECT_EQ(g_holders_after, g_holders_before);
    }
}

TEST(MediaServerAbstraction, ArgumentsReachTheContentSourceWithTheObjectIdUnescapedTwice)
{
    MsaHost host;
    host.Start();
    Exchange(host.port(),
             SoapRequest(kCds, "Browse",
                         BrowseArguments("0&amp;amp;1", "BrowseDirectChildren",
                                         "dc:title,a&amp;amp;b", "3", "7", "+dc:&amp;lt;t")));
    Seen seen = Snapshot();
    EXPECT_EQ(seen.object_id, "0&1");
    EXPECT_EQ(seen.filter, "dc:title,a&amp;b");  // as this layer received it
    EXPECT_EQ(seen.sort_criteria, "+dc:&lt;t");
    EXPECT_EQ(seen.starting_index, 3u);
    EXPECT_EQ(seen.requested_count, 7u);
    EXPECT_EQ(seen.kind, 1);
    EXPECT_FALSE(seen.has_search_criteria);
    EXPECT_EQ(seen.port, host.port());
    EXPECT_EQ(seen.receiving_address, Address("127.0.0.1"));

    std::string search =
        Exchange(host.port(),
                 SoapRequest(kCds, "Search",
                             "<ContainerID>0\\x&amp;amp;y</ContainerID><SearchCriteria>upnp:class "
                             "derivedfrom &amp;quot;object.item&amp;quot;</SearchCriteria><Filter>*"
                             "</Filter><StartingIndex>1</StartingIndex><RequestedCount>4294967295"
                             "</RequestedCount><SortCriteria>-dc:date</SortCriteria>"));
    seen = Snapshot();
    EXPECT_EQ(seen.kind, 2);
    EXPECT_EQ(seen.object_id, "0\\x&y");
    ASSERT_TRUE(seen.has_search_criteria);
    EXPECT_EQ(seen.search_criteria, "upnp:class derivedfrom &quot;object.item&quot;");
    EXPECT_EQ(seen.starting_index, 1u);
    EXPECT_EQ(seen.requested_count, 4294967295u);
    EXPECT_EQ(seen.sort_criteria, "-dc:date");
    EXPECT_NE(search.find("<u:SearchResponse xmlns:u=\"urn:schemas-upnp-org:service:"
                          "ContentDirectory:1\">"),
              std::string::npos);
    EXPECT_NE(search.find("</u:SearchResponse>"), std::string::npos);
}

TEST(MediaServerAbstraction, AddressCopyPutsTheReceivingAddressFirst)
{
    MsaHost host;
    host.Start();
    const std::uint32_t local = Address("127.0.0.1");
    const std::uint32_t a = Address("192.168.1.10");
    const std::uint32_t b = Address("10.0.0.2");
    struct Case {
        std::vector<std::uint32_t> list;
        std::vector<std::uint32_t> copy;
    } cases[] = {
        {{a, local, b}, {local, a, b}},  // second of three: swapped with the first
        {{a}, {local}},                  // single address: the receiving one only
        {{local, a, b}, {local, a, b}},  // already first: unchanged
        {{a, b, a}, {local, b, a}},      // not in the list: replaces the first
        {{}, {local}},                   // no list at all
    };
    for (const Case& c : cases) {
        MSA_SetLocalAddresses(host.server(), c.list.data(), static_cast<int>(c.list.size()));
        Browse(host.port(), "0", "BrowseMetadata");
        EXPECT_EQ(Snapshot().addresses, c.copy);
    }
}

TEST(MediaServerAbstraction, DispatchFaultsForAnEmptySlot)
{
    MsaHost host;
    host.server()->on_get_sort_capabilities = nullptr;
    host.server()->on_get_current_connection_info = nullptr;
    host.server()->on_browse_search = nullptr;
    host.Start();
    const std::uint16_t port = host.port();

    EXPECT_EQ(Exchange(port, SoapRequest(kCds, "GetSortCapabilities", "")),
              Fault(501, "Action Failed: Action Not Implemented"));
    EXPECT_EQ(Exchange(port, SoapRequest(kCms, "GetCurrentConnectionInfo",
                                         "<ConnectionID>0</ConnectionID>")),
              Fault(501, "Action Failed: Action Not Implemented"));
    // Browse without a content source: the copied request is dropped, not lost (leak check).
    EXPECT_EQ(Browse(port, "0", "BrowseMetadata"),
              Fault(501, "Action Failed: Action Not Implemented"));
    EXPECT_EQ(Snapshot().browse_calls, 0);
}

// The table's rows, the service descriptions, the routing and the counters tell one story, in
// each mode: a row of a mode the server is not in is neither described nor routed.
TEST(MediaServerAbstraction, EveryRowIsDescribedRoutedAndCountedAsTheTableSays)
{
    tv::ServerOptions media_info;
    media_info.media_info = true;
    for (const tv::ServerOptions& options : {tv::ServerOptions{}, media_info}) {
        SCOPED_TRACE(options.media_info ? "media information" : "default");
        MsaHost host(options);
        host.Start();
        const std::uint16_t port = host.port();
        std::string scpd[tv::kServiceCount];
        int declared[tv::kServiceCount] = {};
        for (int s = 0; s < tv::kServiceCount; ++s) {
            scpd[s] = Exchange(
                port, "GET /" + std::string(tv::ServiceName(static_cast<tv::ServiceId>(s))) +
                          "/scpd.xml HTTP/1.0\r\n\r\n");
        }
        for (const tv::ActionRow& row : tv::MsaActionTable()) {
            const std::string name(row.name);
            const std::string service(tv::ServiceName(row.service));
            SCOPED_TRACE(name);
            const bool in_mode = tv::InMode(row.only_with, options);
            declared[row.service] += row.declared && in_mode ? 1 : 0;
            EXPECT_EQ(scpd[row.service].find("<action><name>" + name + "</name>") !=
                          std::string::npos,
                      row.declared && in_mode);
            // Inputs that pass: an allowed value, a number, a text.
            std::string inputs;
            for (int i = 0; i < tv::InputCount(row); ++i) {
                const tv::StateVariable& variable = tv::ServiceVariables(
                    row.service)[tv::VariableIndex(row.service, row.inputs[i].variable)];
                std::string value = variable.allowed[0] != nullptr ? variable.allowed[0]
                                    : tv::InputKindOf(variable.type) == tv::InputKind::kText ? "x"
                                                                                             : "0";
                const std::string tag(row.inputs[i].name);
                inputs += "<" + tag + ">" + value + "</" + tag + ">";
            }
            const char* type = row.service == tv::kServiceContentDirectory ? kCds : kCms;
            const std::vector<std::uint32_t> before = Snapshot().counters;
            testing::internal::CaptureStdout();
            std::string answer = Exchange(port, SoapRequest(type, name.c_str(), inputs));
            std::string out = testing::internal::GetCapturedStdout();
            if (!in_mode || row.handler.call == nullptr) {
                EXPECT_EQ(answer, in_mode ? Fault(501, "No Function Handler")
                                          : Fault(401, "Invalid Action"));
                EXPECT_EQ(out, "");
                continue;
            }
            // Answered by the content source's slot for this action, or by the layer itself.
            EXPECT_EQ(answer.substr(0, 17), "HTTP/1.1 200 OK\r\n") << answer;
            EXPECT_NE(answer.find("<u:" + name + "Response xmlns:u=\"" + type + "\">"),
                      std::string::npos)
                << answer;
            EXPECT_EQ(out.rfind("UPnP Invoke: MediaServer_" + service + "_" + name + "(", 0), 0u)
                << out;
            std::vector<std::uint32_t> expected = before;
            if (expected.empty() && row.statistic >= 0) expected.resize(tv::kMsaStatisticCount);
            if (row.statistic >= 0) ++expected.at(static_cast<std::size_t>(row.statistic));
            EXPECT_EQ(Snapshot().counters, expected);
        }
        for (int s = 0; s < tv::kServiceCount; ++s) {
            int described = 0;
            for (std::size_t at = scpd[s].find("<action>"); at != std::string::npos;
                 at = scpd[s].find("<action>", at + 1))
                ++described;
            EXPECT_EQ(described, declared[s]) << s;
        }
    }
}

// Samsung's: without it a Samsung TV shows no files.
TEST(MediaServerAbstraction, FeatureListAnswersEveryKindFromTheRootWithMediaInformation)
{
    tv::ServerOptions options;
    options.media_info = true;
    MsaHost host(options);
    host.Start();
    testing::internal::CaptureStdout();
    std::string answer = Exchange(host.port(), SoapRequest(kCds, "X_GetFeatureList", ""));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "UPnP Invoke: MediaServer_ContentDirectory_X_GetFeatureList();\r\n");
    EXPECT_EQ(answer,
              Complete(kCds, "X_GetFeatureList",
                       "<FeatureList>&lt;Features xmlns=&quot;urn:schemas-upnp-org:av:avs&quot; "
                       "xmlns:xsi=&quot;http://www.w3.org/2001/XMLSchema-instance&quot; "
                       "xsi:schemaLocation=&quot;urn:schemas-upnp-org:av:avs "
                       "http://www.upnp.org/schemas/av/avs.xsd&quot;&gt;&lt;Feature "
                       "name=&quot;samsung.com_BASICVIEW&quot; version=&quot;1&quot;&gt;"
                       "&lt;container id=&quot;0&quot; type=&quot;object.item.audioItem&quot;/&gt;"
                       "&lt;container id=&quot;0&quot; type=&quot;object.item.videoItem&quot;/&gt;"
                       "&lt;container id=&quot;0&quot; type=&quot;object.item.imageItem&quot;/&gt;"
                       "&lt;/Feature&gt;&lt;/Features&gt;</FeatureList>"));
    std::string scpd = Exchange(host.port(), "GET /ContentDirectory/scpd.xml HTTP/1.0\r\n\r\n");
    EXPECT_NE(scpd.find("<action><name>X_GetFeatureList</name><argumentList><argument><name>"
                        "FeatureList</name><direction>out</direction><relatedStateVariable>"
                        "A_ARG_TYPE_Featurelist</relatedStateVariable></argument></argumentList>"
                        "</action></actionList>"),
              std::string::npos)
        << scpd;
    EXPECT_NE(scpd.find("<stateVariable sendEvents=\"no\"><name>A_ARG_TYPE_Featurelist</name>"
                        "<dataType>string</dataType></stateVariable></serviceStateTable>"),
              std::string::npos)
        << scpd;
}

TEST(MediaServerAbstraction, WithoutSessionOrServerNothingIsSentAndNothingLeaks)
{
    MSA_BrowseRequest request;
    EXPECT_EQ(MSA_RespondError(nullptr, nullptr, 701, "Error"), SendNoSession);
    EXPECT_EQ(MSA_BeginResult(nullptr, nullptr, &request, 1), SendNoSession);
    EXPECT_EQ(MSA_AppendResult(nullptr, nullptr, "x", 1), SendNoSession);
    EXPECT_EQ(MSA_EndResult(nullptr, nullptr, &request, 1, 0, 0, 0), SendNoSession);
    EXPECT_EQ(MSA_RespondGetSystemUpdateID(nullptr, nullptr, 0), SendNoSession);
    EXPECT_EQ(MSA_RespondGetCurrentConnectionInfo(nullptr, nullptr, -1, -1, "", "", -1, "", ""),
              SendNoSession);
    MSA_FreeBrowseRequest(nullptr);

    // No session, so no device and no server: the request cannot be dispatched, the 500 fault
    // has nowhere to go, and the copied request is freed.
    testing::internal::CaptureStdout();
    EXPECT_EQ(MediaServer_ContentDirectory_Browse(nullptr, "0", "BrowseMetadata", "*", 0, 0, ""),
              SendNoSession);
    EXPECT_EQ(MediaServer_ContentDirectory_Search(nullptr, "0", "*", "*", 0, 0, ""), SendNoSession);
    EXPECT_EQ(MediaServer_ConnectionManager_GetCurrentConnectionInfo(nullptr, -7), SendNoSession);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "UPnP Invoke: MediaServer_ContentDirectory_Browse() - ID 0;\r\n"
              "UPnP Invoke: MediaServer_ContentDirectory_Search();\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionInfo(4294967289);"
              "\r\n");
}

TEST(MediaServerAbstraction, ResultRootCarriesTheDlnaNamespaceOnlyWhenTheFilterNeedsIt)
{
    MsaHost host;
    host.Start();
    struct Case {
        const char* filter;
        bool dlna;
    } cases[] = {
        {"*", true},
        {"res@dlna:ifoFileURI", true},
        {"dc:title,@dlna:dlnaManaged", true},
        {"dc:title,res@size,res@duration", false},
        {"", false},
    };
    for (const Case& c : cases) {
        std::string answer = Browse(host.port(), "0", "BrowseDirectChildren", c.filter);
        std::string result = std::string("<Result>") + (c.dlna ? kRootDlna : kRootPlain) +
                             "&lt;item id=&quot;1&quot;/&gt;second\r\n&lt;/DIDL-Lite&gt;"
                             "</Result>\r\n";
        EXPECT_NE(answer.find(result), std::string::npos) << c.filter << "\n" << answer;
    }
}

TEST(MediaServerAbstraction, StreamedBrowseResponseIsExactOnTheWire)
{
    MsaHost host;
    host.Start();
    const std::string result =
        std::string(kRootDlna) + "&lt;item id=&quot;1&quot;/&gt;second\r\n&lt;/DIDL-Lite&gt;";

    // HTTP/1.0: unframed and closed after the last piece.
    EXPECT_EQ(Browse(host.port(), "0", "BrowseDirectChildren"),
              std::string(kOkHead) + StreamedBody("Browse", result, 2, 5, 0));

    // HTTP/1.1: the same body in chunks, and the connection stays for the next request.
    LoopbackClient client(host.port());
    client.Send(SoapRequest(kCds, "Browse", BrowseArguments("0", "BrowseMetadata"), "1.1"));
    tv::test::HttpResponse chunked = ReadResponse(client);
    ASSERT_TRUE(chunked.complete);
    EXPECT_EQ(chunked.head,
              "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nEXT:\r\nCONTENT-TYPE: text/xml; "
              "charset=\"utf-8\"\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n\r\n");
    EXPECT_EQ(chunked.body, StreamedBody("Browse", result, 2, 5, 0));

    // Without the root the Result holds only what was appended.
    g_answer = Answer::NoRoot;
    client.Send(SoapRequest(kCds, "Browse", BrowseArguments("0", "BrowseMetadata"), "1.1"));
    tv::test::HttpResponse plain = ReadResponse(client);
    ASSERT_TRUE(plain.complete);
    EXPECT_EQ(plain.body, StreamedBody("Browse", "x", 1, 1, 7));
}

TEST(MediaServerAbstraction, GetCurrentConnectionInfoPassesTheIdentifier)
{
    MsaHost host;
    host.Start();
    testing::internal::CaptureStdout();
    std::string zero = Exchange(host.port(), SoapRequest(kCms, "GetCurrentConnectionInfo",
                                                         "<ConnectionID>0</ConnectionID>"));
    EXPECT_EQ(Snapshot().connection_id, 0);
    std::string negative = Exchange(host.port(), SoapRequest(kCms, "GetCurrentConnectionInfo",
                                                             "<ConnectionID>-7</ConnectionID>"));
    EXPECT_EQ(Snapshot().connection_id, -7);
    std::string large = Exchange(host.port(), SoapRequest(kCms, "GetCurrentConnectionInfo",
                                                          "<ConnectionID>2147483647"
                                                          "</ConnectionID>"));
    EXPECT_EQ(Snapshot().connection_id, 2147483647);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_NE(zero.find("<RcsID>-1</RcsID>"), std::string::npos);
    EXPECT_EQ(negative, Fault(706, "Connection does not exist."));
    EXPECT_EQ(large, Fault(706, "Connection does not exist."));
    EXPECT_EQ(out,
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionInfo(0);\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionInfo(4294967289);"
              "\r\n"
              "UPnP Invoke: MediaServer_ConnectionManager_GetCurrentConnectionInfo(2147483647);"
              "\r\n");
    EXPECT_EQ(Snapshot().connection_info_calls, 3);
}

TEST(MediaServerAbstraction, AnswerFinishedOnAnotherThreadAfterTheHandlerReturned)
{
    std::vector<std::thread> workers;
    {
        MsaHost host;
        host.Start();
        g_answer = Answer::Worker;
        std::string answer = Browse(host.port(), "0", "BrowseDirectChildren", "dc:title");
        EXPECT_EQ(answer,
                  std::string(kOkHead) +
                      StreamedBody("Browse", std::string(kRootPlain) + "late\r\n&lt;/DIDL-Lite&gt;",
                                   1, 1, 0));
        EXPECT_TRUE(tv::test::WaitUntil([] { return g_worker_done.load() == 1; }));
        EXPECT_GE(g_worker_begin.load(), 0);
        // HTTP/1.0: the last piece completes the response and closes the connection.
        EXPECT_TRUE(g_worker_end.load() >= 0 || g_worker_end.load() == SendWillClose)
            << g_worker_end.load();

        // The client gives up before the answer: the held session outlives its connection,
        // the sends fail, and the hold is still given back (the leak check sees to that).
        g_worker_done = 0;
        g_answer = Answer::WorkerLate;
        {
            LoopbackClient client(host.port());
            client.Send(SoapRequest(kCds, "Browse", BrowseArguments("0", "BrowseMetadata")));
            EXPECT_TRUE(tv::test::WaitUntil([] { return Snapshot().browse_calls == 2; }));
        }
        EXPECT_TRUE(tv::test::WaitUntil([] { return g_worker_done.load() == 1; }));
        EXPECT_LT(g_worker_begin.load(), 0);
        EXPECT_LT(g_worker_end.load(), 0);

        // The connection is gone; the server still answers new requests.
        g_answer = Answer::Items;
        EXPECT_EQ(Exchange(host.port(), SoapRequest(kCds, "GetSystemUpdateID", "")),
                  Complete(kCds, "GetSystemUpdateID", "<Id>0</Id>"));
        std::scoped_lock lock(g_mutex);
        workers.swap(g_workers);
    }
    for (std::thread& worker : workers) worker.join();
}

}  // namespace
