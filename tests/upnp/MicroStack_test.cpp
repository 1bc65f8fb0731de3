// The device stack's HTTP side: the served documents byte for byte, the routing table with
// its status answers, the GET log line, and the Expect: 100-Continue handling.
#include "upnp/MicroStack.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "support/LoopbackClient.h"
#include "upnp_test_support.h"

namespace {

using tv::test::DataFile;
using tv::test::Exchange;
using tv::test::LoopbackClient;
using tv::test::ReadResponse;
using tv::test::StackHost;

constexpr char kXmlHead[] =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nCONTENT-TYPE:  text/xml; "
    "charset=\"utf-8\"\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n\r\n";
constexpr char kNotFound[] =
    "HTTP/1.1 404 File Not Found\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n"
    "Content-Length: 0\r\n\r\n";
constexpr char kBadRequest[] =
    "HTTP/1.1 400 Bad Request\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n"
    "Content-Length: 0\r\n\r\n";

std::string Get(std::uint16_t port, const std::string& method, const std::string& path)
{
    return Exchange(port, method + " " + path + " HTTP/1.0\r\n\r\n");
}

// One HTTP/1.1 request on its own connection, the response read by its framing.
tv::test::HttpResponse Get11(std::uint16_t port, const std::string& path)
{
    LoopbackClient client(port);
    client.Send("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    return ReadResponse(client);
}

// Width and height from the baseline start-of-frame segment, after checking the markers.
bool JpegSize(const std::string& data, int* width, int* height)
{
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[i]); };
    if (data.size() < 4 || byte(0) != 0xFF || byte(1) != 0xD8 || byte(data.size() - 2) != 0xFF ||
        byte(data.size() - 1) != 0xD9)
        return false;
    std::size_t i = 2;
    while (i + 9 < data.size()) {
        if (byte(i) != 0xFF) return false;
        unsigned marker = byte(i + 1);
        std::size_t length = (byte(i + 2) << 8) | byte(i + 3);
        if (marker == 0xC0) {
            *height = (byte(i + 5) << 8) | byte(i + 6);
            *width = (byte(i + 7) << 8) | byte(i + 8);
            return byte(i + 9) == 3;  // three colour components
        }
        if (marker == 0xC2 || marker == 0xC1) return false;  // not baseline
        i += 2 + length;
    }
    return false;
}

TEST(MicroStack, DescriptionAndServiceDescriptionsAreServedByteForByte)
{
    tv::test::LogCapture log;
    StackHost host(false, tv::test::kTestUdn, tv::test::kTestFriendlyName,
                   tv::test::ServerIdentity());
    host.Start();

    tv::test::HttpResponse description = Get11(host.port(), "/");
    ASSERT_TRUE(description.complete);
    EXPECT_EQ(description.head, kXmlHead);
    EXPECT_EQ(description.body, DataFile("MicroStack_description.xml"));

    tv::test::HttpResponse cds = Get11(host.port(), "/ContentDirectory/scpd.xml");
    ASSERT_TRUE(cds.complete);
    EXPECT_EQ(cds.head, kXmlHead);
    EXPECT_EQ(cds.body, DataFile("MicroStack_cds_scpd.xml"));
    EXPECT_EQ(cds.body.find("CreateObject"), std::string::npos);
    EXPECT_EQ(cds.body.find("DestroyObject"), std::string::npos);

    // The first character of a service path is not examined.
    tv::test::HttpResponse cms = Get11(host.port(), "XConnectionManager/scpd.xml");
    ASSERT_TRUE(cms.complete);
    EXPECT_EQ(cms.body, DataFile("MicroStack_cms_scpd.xml"));

    // HTTP/1.0 gets the same document unframed, closed at its end.
    std::string plain = Get(host.port(), "GET", "/");
    EXPECT_EQ(plain,
              "HTTP/1.1 200 OK\r\nCONTENT-TYPE:  text/xml; charset=\"utf-8\"\r\n"
              "Server: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n\r\n" +
                  DataFile("MicroStack_description.xml"));

    host.Stop();
    std::vector<std::string> lines = tv::test::LogCapture::Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "GET /");
    EXPECT_EQ(lines[1], "GET /scpd.xml");
    EXPECT_EQ(lines[2], "GET /scpd.xml");
    EXPECT_EQ(lines[3], "GET /");

    // Today's modes offer no uploads (none are taken); with media information the device names
    // Samsung's capabilities. Nothing else changes.
    tv::ServerOptions media_info;
    media_info.modern_listing = media_info.media_info = true;
    StackHost samsung(false, tv::test::kTestUdn, tv::test::kTestFriendlyName,
                      tv::test::ServerIdentity(), media_info);
    samsung.Start();
    std::string expected = DataFile("MicroStack_description.xml");
    const std::string after = "DMS-1.50</dlna:X_DLNADOC>\r\n";
    expected.insert(expected.find(after) + after.size(),
                    "      <sec:ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">smi,DCM10,"
                    "getMediaInfo.sec,getCaptionInfo.sec</sec:ProductCap>\r\n"
                    "      <sec:X_ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">smi,DCM10,"
                    "getMediaInfo.sec,getCaptionInfo.sec</sec:X_ProductCap>\r\n");
    const std::size_t uploads = expected.find("      <dlna:X_DLNACAP");
    expected.erase(uploads, expected.find('\n', uploads) + 1 - uploads);
    EXPECT_EQ(Get11(samsung.port(), "/").body, expected);
}

// Also: the identity and the service records are the stack's context's, so another stack in
// the process serves its own.
TEST(MicroStack, DescriptionLeavesOutAMissingServiceAndDefaultsUnsetIdentity)
{
    DeviceRecord identity;
    identity.model_url = "http://example.invalid/model";
    StackHost host(false, "UDN-1", "A <b> & c", identity);
    host.device()->connection_manager = nullptr;
    host.Start();
    StackHost other(false, "UDN-2", "Other", tv::test::ServerIdentity());
    other.Start();

    tv::test::HttpResponse description = Get11(host.port(), "/");
    ASSERT_TRUE(description.complete);
    const std::string& body = description.body;
    EXPECT_NE(body.find("<friendlyName>A <b> & c</friendlyName>"), std::string::npos);
    EXPECT_NE(body.find("<modelName>Digital Media Server</modelName>"), std::string::npos);
    EXPECT_NE(body.find("<modelNumber>None</modelNumber>"), std::string::npos);
    EXPECT_NE(body.find("<modelDescription>UPnP/AV 1.0 Compliant Media Server</modelDescription>"),
              std::string::npos);
    EXPECT_NE(body.find("<modelURL>http://example.invalid/model</modelURL>"), std::string::npos);
    EXPECT_NE(body.find("<UDN>uuid:UDN-1</UDN>"), std::string::npos);
    const std::string tail =
        "</icon></iconList>\r\n\r\n  <serviceList><service><serviceType>urn:schemas-upnp-org:"
        "service:ContentDirectory:1</serviceType><serviceId>urn:upnp-org:serviceId:"
        "ContentDirectory</serviceId><SCPDURL>ContentDirectory/scpd.xml</SCPDURL><controlURL>"
        "ContentDirectory/control</controlURL><eventSubURL>ContentDirectory/event</eventSubURL>"
        "</service></serviceList></device></root>";
    ASSERT_GE(body.size(), tail.size());
    EXPECT_EQ(body.substr(body.size() - tail.size()), tail);
    host.Stop();

    const std::string theirs = Get11(other.port(), "/").body;
    EXPECT_NE(theirs.find("<friendlyName>Other</friendlyName>"), std::string::npos);
    EXPECT_NE(theirs.find("<modelName>Tindravoller</modelName>"), std::string::npos);
    EXPECT_NE(theirs.find("<UDN>uuid:UDN-2</UDN>"), std::string::npos);
    EXPECT_NE(theirs.find("<serviceList><service><serviceType>urn:schemas-upnp-org:service:"
                          "ConnectionManager:1</serviceType>"),
              std::string::npos);
}

TEST(MicroStack, RouterAnswersEachMethodAndPath)
{
    StackHost host;
    host.Start();
    const std::uint16_t port = host.port();

    // Icons: GET only, exact paths, real baseline JPEG files of the announced sizes.
    struct Icon {
        const char* path;
        int size;
        std::size_t bytes;
    };
    for (const Icon& icon : {Icon{"/device48.jpg", 48, 2304}, Icon{"/device32.jpg", 32, 1504},
                             Icon{"/device120.jpg", 120, 8688}}) {
        std::string answer = Get(port, "GET", icon.path);
        const std::string head =
            "HTTP/1.1 200 OK\r\nCONTENT-TYPE:  image/jpeg;\r\nServer: WINDOWS, UPnP/1.0, "
            "Tindravoller 1.2\r\n\r\n";
        ASSERT_EQ(answer.substr(0, head.size()), head) << icon.path;
        std::string image = answer.substr(head.size());
        EXPECT_EQ(image.size(), icon.bytes) << icon.path;
        int width = 0;
        int height = 0;
        EXPECT_TRUE(JpegSize(image, &width, &height)) << icon.path;
        EXPECT_EQ(width, icon.size);
        EXPECT_EQ(height, icon.size);
        EXPECT_EQ(Get(port, "HEAD", icon.path), kNotFound) << icon.path;
    }
    EXPECT_EQ(Get(port, "GET", "/DEVICE48.JPG"), kNotFound);
    EXPECT_EQ(Get(port, "GET", "/device48.jpg/x"), kNotFound);
    EXPECT_EQ(Get(port, "GET", "/index.html"), kNotFound);
    EXPECT_EQ(Get(port, "GET", "/ContentDirectory/scpd.xmlx"), kNotFound);
    EXPECT_EQ(Get(port, "HEAD", "/index.html"), kNotFound);
    EXPECT_EQ(Get(port, "get", "/"), kBadRequest);
    EXPECT_EQ(Get(port, "PUT", "/"), kBadRequest);
    EXPECT_EQ(Get(port, "OPTIONS", "/"), kBadRequest);
    EXPECT_EQ(Get(port, "M-SEARCH", "*"), kBadRequest);

    // HEAD of the documents: the header alone; the connection stays usable.
    for (const char* path : {"/", "/ConnectionManager/scpd.xml", "/ContentDirectory/scpd.xml"}) {
        LoopbackClient client(port);
        client.Send(std::string("HEAD ") + path + " HTTP/1.1\r\nHost: h\r\n\r\n");
        tv::test::HttpResponse head = ReadResponse(client, true);
        EXPECT_EQ(head.head, kXmlHead) << path;
        client.Send("GET /nothing HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(client.ReadAll(), kNotFound) << path;
    }
}

TEST(MicroStack, ContentDirectoryRequestsNeverReachTheRouter)
{
    tv::test::LogCapture log;
    StackHost host;
    OlvWebServer_AddVirtualDirectory(
        MicroStack_GetWebServer(host.stack()), "content", 7,
        [](OlvWebSession* session, OlvPacket*, char*, int*, int, tv::WebDelivery done,
           void*) noexcept {
            if (done == tv::WebDelivery::Final) MicroStack_SendStatus(session, 204, "Seen");
        },
        nullptr);
    host.Start();
    tv::test::LogCapture::Clear();
    EXPECT_EQ(Get(host.port(), "GET", "/content/12/a.mp3"),
              "HTTP/1.1 204 Seen\r\nServer: WINDOWS, UPnP/1.0, Tindravoller 1.2\r\n"
              "Content-Length: 0\r\n\r\n");
    host.Stop();
    EXPECT_TRUE(tv::test::LogCapture::Lines().empty());
}

std::atomic<int> g_update_calls{0};

void AnswerUpdateId(OlvWebSession* session) noexcept
{
    ++g_update_calls;
    MicroStack_RespondGetSystemUpdateID(session, 42);
}

TEST(MicroStack, ContinueIsSentOncePerConnection)
{
    StackHost host;
    host.SetHandler("GetSystemUpdateID", tv::kActionHandler<AnswerUpdateId>);
    host.Start();
    g_update_calls = 0;
    const std::string body = "<s:Envelope></s:Envelope>";
    const std::string head =
        "POST /ContentDirectory/control HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
        "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#GetSystemUpdateID\"\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";

    LoopbackClient client(host.port());
    client.Send(head);
    EXPECT_EQ(client.ReadBytes(25), "HTTP/1.1 100 Continue\r\n\r\n");
    EXPECT_EQ(g_update_calls.load(), 0);
    client.Send(body);
    tv::test::HttpResponse first = ReadResponse(client);
    ASSERT_TRUE(first.complete);
    EXPECT_EQ(first.head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_NE(first.body.find("<Id>42</Id>"), std::string::npos);

    // The same again on the same connection: no second 100 Continue, just the answer.
    client.Send(head);
    client.SetTimeout(300);
    EXPECT_EQ(client.ReadBytes(1), "");
    client.SetTimeout(5000);
    client.Send(body);
    tv::test::HttpResponse second = ReadResponse(client);
    ASSERT_TRUE(second.complete);
    EXPECT_EQ(second.head.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(g_update_calls.load(), 2);

    // Any other expectation is refused and the connection closed.
    LoopbackClient other(host.port());
    other.Send(
        "POST /ContentDirectory/control HTTP/1.1\r\nHost: h\r\nExpect: 200-ok\r\n"
        "Content-Length: 10\r\n\r\n");
    EXPECT_EQ(other.ReadAll(), "HTTP/1.1 417 Expectation Failed\r\n\r\n");
    EXPECT_TRUE(other.closed());
}

}  // namespace
