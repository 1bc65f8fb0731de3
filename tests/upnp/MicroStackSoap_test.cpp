// SOAP control over the wire: action routing, argument extraction and checks, the fixed
// faults, and the response writers (complete, typed, streamed, and from another thread).
#include "upnp/MicroStack.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Memory.h"
#include "support/LoopbackClient.h"
#include "upnp_test_support.h"

namespace {

using tv::test::LoopbackClient;
using tv::test::ReadResponse;
using tv::test::StackHost;

constexpr char kCds[] = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr char kCms[] = "urn:schemas-upnp-org:service:ConnectionManager:1";

// What the slots saw.
struct Calls {
    std::mutex mutex;
    std::vector<std::string> seen;
};
Calls g_calls;

void Record(std::string text)
{
    std::scoped_lock lock(g_calls.mutex);
    g_calls.seen.push_back(std::move(text));
}

std::vector<std::string> Seen()
{
    std::scoped_lock lock(g_calls.mutex);
    std::vector<std::string> out = g_calls.seen;
    g_calls.seen.clear();
    return out;
}

std::string Fault(int code, const std::string& description)
{
    std::string body =
        "<s:Envelope\r\n xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><s:Fault>"
        "<faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring><detail>"
        "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
        std::to_string(code) + "</errorCode><errorDescription>" + description +
        "</errorDescription></UPnPError></detail></s:Fault></s:Body></s:Envelope>";
    return "HTTP/1.1 500 Internal\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

std::string Envelope(const std::string& prefix, const std::string& action,
                     const std::string& arguments)
{
    const std::string p = prefix + ":";
    return "<?xml version=\"1.0\"?>\r\n<" + p + "Envelope xmlns:" + prefix +
           "=\"http://schemas.xmlsoap.org/soap/envelope/\" " + p +
           "encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><" + p +
           "Body><u:" + action + " xmlns:u=\"" + kCds + "\">" + arguments + "</u:" + action +
           "></" + p + "Body></" + p + "Envelope>";
}

// An HTTP/1.1 POST with Connection: close; the answer read until the close.
std::string Post(std::uint16_t port, const std::string& path, const std::string& action,
                 const std::string& body)
{
    LoopbackClient client(port);
    client.Send("POST " + path +
                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                "SOAPACTION: \"" +
                std::string(kCds) + "#" + action +
                "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    return client.ReadAll();
}

std::string BrowseArguments(const std::string& flag, const std::string& index, bool sort = true)
{
    return "<ObjectID>0\\a&amp;b</ObjectID><BrowseFlag>" + flag +
           "</BrowseFlag><Filter>dc:title,res@size</Filter><StartingIndex>" + index +
           "</StartingIndex><RequestedCount>25</RequestedCount>" +
           (sort ? "<SortCriteria>+dc:title</SortCriteria>" : "") + "<Extra>x</Extra>";
}

void OnBrowse(OlvWebSession* session, char* object_id, char* flag, char* filter,
              std::uint32_t index, std::uint32_t count, char* sort) noexcept
{
    Record(std::string("Browse|") + object_id + "|" + flag + "|" + filter + "|" +
           std::to_string(index) + "|" + std::to_string(count) + "|" + sort);
    MicroStack_BeginResponse(session, "Browse", kCds);
    MicroStack_SendArgument(session, "Result", "&lt;DIDL", 8, OwnStatic, 1, 0);
    MicroStack_SendArgument(session, "Result", tv::CopyBytes("-Lite/&gt;", 10), 10, OwnTransfer, 0,
                            1);
    MicroStack_SendArgument(session, "NumberReturned", "0", 1, OwnStatic, 1, 1);
    MicroStack_EndResponse(session, "Browse");
}

void OnSearch(OlvWebSession* session, char* container, char* criteria, char* filter,
              std::uint32_t index, std::uint32_t count, char* sort) noexcept
{
    Record(std::string("Search|") + container + "|" + criteria + "|" + filter + "|" +
           std::to_string(index) + "|" + std::to_string(count) + "|" + sort);
    MicroStack_SendFault(session, 708, "Unsupported");
}

void OnDestroy(OlvWebSession* session, char* object_id) noexcept
{
    Record(std::string("DestroyObject|") + object_id);
    MicroStack_SendFault(session, 720, "Cannot process the request");
}

void OnConnectionInfo(OlvWebSession* session, std::int32_t id) noexcept
{
    Record("Info|" + std::to_string(id));
    MicroStack_RespondGetCurrentConnectionInfo(session, -1, -1, "http-get:*:a&b:*", "", -1,
                                               "Output", "OK");
}

void OnUpdateId(OlvWebSession* session) noexcept
{
    Record("UpdateID");
    MicroStack_RespondGetSystemUpdateID(session, 4294967295u);
}

// Answers later from another thread while holding the session.
void OnProtocolInfo(OlvWebSession* session) noexcept
{
    Record("ProtocolInfo");
    OlvWebServer_HoldSession(session);
    std::thread([session] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        MicroStack_RespondGetProtocolInfo(session, "http-get:*:audio/mpeg:*", "");
        OlvWebServer_ReleaseSession(session);
    }).detach();
}

class MicroStackSoapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_ = std::make_unique<StackHost>();
        host_->ClearHandlers();
        host_->SetHandler("Browse", tv::kActionHandler<OnBrowse>);
        host_->SetHandler("Search", tv::kActionHandler<OnSearch>);
        host_->SetHandler("DestroyObject", tv::kActionHandler<OnDestroy>);
        host_->SetHandler("GetSystemUpdateID", tv::kActionHandler<OnUpdateId>);
        host_->SetHandler("GetCurrentConnectionInfo", tv::kActionHandler<OnConnectionInfo>);
        host_->SetHandler("GetProtocolInfo", tv::kActionHandler<OnProtocolInfo>);
        host_->Start();
        Seen();
    }
    void TearDown() override { host_.reset(); }
    std::uint16_t port() const { return host_->port(); }
    std::unique_ptr<StackHost> host_;
};

TEST_F(MicroStackSoapTest, ActionsWithoutInputsCallTheirSlotWithoutReadingTheBody)
{
    std::string answer = Post(port(), "/ContentDirectory/control", "GetSystemUpdateID", "garbage<");
    EXPECT_EQ(
        answer,
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nEXT:\r\nCONTENT-TYPE: text/xml; "
        "charset=\"utf-8\"\r\nSERVER: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n\r\n"
        "14A\r\n<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
        "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body><u:"
        "GetSystemUpdateIDResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
        "<Id>4294967295</Id></u:GetSystemUpdateIDResponse></s:Body></s:Envelope>\r\n"
        "0\r\n\r\n");
    EXPECT_EQ(Seen(), std::vector<std::string>{"UpdateID"});

    // The same action at the other service, unknown actions and paths: 401.
    EXPECT_EQ(Post(port(), "/ConnectionManager/control", "GetSystemUpdateID", ""),
              Fault(401, "Invalid Action"));
    EXPECT_EQ(Post(port(), "/ContentDirectory/control", "BrowseX", ""),
              Fault(401, "Invalid Action"));
    EXPECT_EQ(Post(port(), "/ContentDirectory/control", "browse", ""),
              Fault(401, "Invalid Action"));
    // Names match at full length: neither a prefix nor an empty name runs an action.
    for (const char* name : {"Brows", "GetSystemUpdateI", ""}) {
        EXPECT_EQ(Post(port(), "/ContentDirectory/control", name, ""), Fault(401, "Invalid Action"))
            << name;
    }
    EXPECT_EQ(Post(port(), "/ContentDirectory/controlx", "Browse", ""),
              Fault(401, "Invalid Action"));
    EXPECT_EQ(Post(port(), "/", "Browse", ""), Fault(401, "Invalid Action"));
    // Empty slots.
    EXPECT_EQ(Post(port(), "/ContentDirectory/control", "GetSortCapabilities", ""),
              Fault(501, "No Function Handler"));
    EXPECT_EQ(Post(port(), "/ContentDirectory/control", "CreateObject",
                   Envelope("s", "CreateObject",
                            "<ContainerID>0</ContainerID><Elements>&lt;x/&gt;</Elements>")),
              Fault(501, "No Function Handler"));
    EXPECT_TRUE(Seen().empty());
}

TEST_F(MicroStackSoapTest, BrowseArgumentsAreExtractedCheckedAndStreamedBack)
{
    LoopbackClient client(port());
    std::string body = Envelope("soap", "Browse", BrowseArguments("BrowseDirectChildren", "3"));
    client.Send("POST /ContentDirectory/control HTTP/1.1\r\nHost: h\r\nsoapaction: \"" +
                std::string(kCds) + "#Browse\"\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body);
    tv::test::HttpResponse response = ReadResponse(client);
    ASSERT_TRUE(response.complete);
    EXPECT_EQ(response.head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(response.body,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<s:Envelope "
              "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" "
              "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">\r\n<s:Body>\r\n"
              "<u:BrowseResponse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
              "<Result>&lt;DIDL-Lite/&gt;</Result>\r\n<NumberReturned>0</NumberReturned>\r\n"
              "</u:BrowseResponse>\r\n   </s:Body>\r\n</s:Envelope>");
    EXPECT_EQ(Seen(), std::vector<std::string>{
                          "Browse|0\\a&b|BrowseDirectChildren|dc:title,res@size|3|25|+dc:title"});

    const std::string path = "/ContentDirectory/control";
    const std::string illegal = Fault(402, "Illegal value");
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseDirectChildren", "0", false))),
              illegal);
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("browsemetadata", "0"))),
              illegal);
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseMetadata", "-1"))),
              illegal);
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseMetadata", "5x"))),
              illegal);
    // Beyond 32 bits is no index either.
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseMetadata", "4294967296"))),
              illegal);
    // An unmatched tag, and a body that is no XML at all.
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseMetadata", "0") + "<Open>")),
              Fault(501, "Invalid XML"));
    EXPECT_EQ(Post(port(), path, "Browse", ""), Fault(501, "Invalid XML"));
    // Arguments outside the action element do not count.
    EXPECT_EQ(Post(port(), path, "Browse",
                   Envelope("s", "Search", BrowseArguments("BrowseMetadata", "0"))),
              illegal);
    EXPECT_TRUE(Seen().empty());

    // The allowed values come from the service record.
    host_->device()->content_directory->state_variables[tv::kCdsVarBrowseFlag] = nullptr;
    EXPECT_EQ(
        Post(port(), path, "Browse", Envelope("s", "Browse", BrowseArguments("Anything", "0"))),
        illegal);
    EXPECT_NE(Post(port(), path, "Browse",
                   Envelope("s", "Browse", BrowseArguments("BrowseMetadata", "0"))),
              illegal);
    EXPECT_EQ(Seen().size(), 1u);
}

TEST_F(MicroStackSoapTest, OtherActionsReachTheirSlots)
{
    const std::string cds = "/ContentDirectory/control";
    std::string search = Envelope(
        "s", "Search",
        "<ContainerID>0</ContainerID><SearchCriteria>dc:title = &quot;a&quot;</SearchCriteria>"
        "<Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria/>");
    EXPECT_EQ(Post(port(), cds, "Search", search), Fault(708, "Unsupported"));
    std::string destroy = Envelope("s", "DestroyObject", "<ObjectID>0\\x</ObjectID>");
    EXPECT_EQ(Post(port(), cds, "DestroyObject", destroy),
              Fault(720, "Cannot process the request"));
    EXPECT_EQ(Seen(),
              (std::vector<std::string>{"Search|0|dc:title = \"a\"|*|0|0|", "DestroyObject|0\\x"}));

    const std::string cms = "/ConnectionManager/control";
    std::string info = [&](const char* id) {
        return Envelope("s", "GetCurrentConnectionInfo",
                        std::string("<ConnectionID>") + id + "</ConnectionID>");
    }("0");
    std::string answer = Post(port(), cms, "GetCurrentConnectionInfo", info);
    EXPECT_NE(answer.find("<u:GetCurrentConnectionInfoResponse xmlns:u=\"" + std::string(kCms) +
                          "\"><RcsID>-1</RcsID><AVTransportID>-1</AVTransportID><ProtocolInfo>"
                          "http-get:*:a&amp;b:*</ProtocolInfo><PeerConnectionManager>"
                          "</PeerConnectionManager><PeerConnectionID>-1</PeerConnectionID>"
                          "<Direction>Output</Direction><Status>OK</Status>"
                          "</u:GetCurrentConnectionInfoResponse>"),
              std::string::npos)
        << answer;
    EXPECT_EQ(Post(port(), cms, "GetCurrentConnectionInfo",
                   Envelope("s", "GetCurrentConnectionInfo", "<ConnectionID>12abc</ConnectionID>")),
              Fault(402, "Illegal value"));
    EXPECT_EQ(
        Post(port(), cms, "GetCurrentConnectionInfo",
             Envelope("s", "GetCurrentConnectionInfo", "<ConnectionID>4294967296</ConnectionID>")),
        Fault(402, "Illegal value"));
    EXPECT_EQ(Seen(), std::vector<std::string>{"Info|0"});

    // A slot that answers from another thread while holding the session.
    std::string protocol = Post(port(), cms, "GetProtocolInfo", "");
    EXPECT_NE(protocol.find("<Source>http-get:*:audio/mpeg:*</Source><Sink></Sink>"),
              std::string::npos)
        << protocol;
    EXPECT_EQ(Seen(), std::vector<std::string>{"ProtocolInfo"});
}

TEST(MicroStackSoap, WritersRefuseAMissingSession)
{
    EXPECT_EQ(MicroStack_BeginResponse(nullptr, "Browse", kCds), SendQueued);
    EXPECT_EQ(MicroStack_SendFault(nullptr, 402, "Illegal value"), SendNoSession);
    EXPECT_EQ(
        MicroStack_SendArgument(nullptr, "Result", tv::CopyBytes("abc", 3), 3, OwnTransfer, 1, 1),
        SendNoSession);
    EXPECT_EQ(MicroStack_RespondGetSortCapabilities(nullptr, "a&b"), SendNoSession);
}

}  // namespace
