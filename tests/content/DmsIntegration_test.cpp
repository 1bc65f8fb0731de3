// The content source on a real chain and device stack over 127.0.0.1 (no SSDP), with real
// shared folders in a temporary directory: Browse pages and metadata, res elements and their
// URLs, the content virtual directory and the Connection Manager answers.
#include "content/DmsIntegration.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "content/DmsMedia.h"
#include "mediainfo/MediaInfo.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaServerAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvThreadPool.h"
#include "shares/SharedFolders.h"
#include "support/ChainRunner.h"
#include "support/LoopbackClient.h"
#include "support/Resident.h"
#include "support/TestContext.h"
#include "upnp/MicroStack.h"
#include "upnp/upnp_test_support.h"

namespace {

using tv::test::Exchange;
using tv::test::LogCapture;

constexpr char kSource[] =
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM,http-get:*:audio/mpeg:DLNA.ORG_PN=MP3";
constexpr char kMp3Info[] =
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01700000000000000000000000000000";
constexpr char kJpegInfo[] =
    "http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_SM;DLNA.ORG_OP=01;DLNA.ORG_FLAGS=00F00000000000000000000000000000";

std::string XmlUnescape(std::string text)
{
    static const std::pair<const char*, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [entity, c] : kEntities) {
                std::size_t n = std::strlen(entity);
                if (text.compare(i, n, entity) == 0) {
                    out += c;
                    i += n;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

std::string Between(const std::string& text, const std::string& open, const std::string& close,
                    std::size_t from = 0)
{
    std::size_t a = text.find(open, from);
    if (a == std::string::npos) return {};
    a += open.size();
    std::size_t b = text.find(close, a);
    return b == std::string::npos ? std::string() : text.substr(a, b - a);
}

// One DIDL-Lite object as the tests read it (values unescaped).
struct Didl {
    std::string kind;  // "item" or "container"
    std::string id;
    std::string parent_id;
    std::string title;
    std::string upnp_class;
    std::vector<std::string> res;            // URLs
    std::vector<std::string> protocol_info;  // per res
    std::vector<std::string> size;           // per res ("" when absent)
    std::string restricted;
    std::string child_count;  // "" when absent
    bool create_class = false;
};

std::vector<Didl> ParseDidl(const std::string& didl)
{
    std::vector<Didl> objects;
    std::size_t at = 0;
    for (;;) {
        std::size_t item = didl.find("<item ", at);
        std::size_t container = didl.find("<container ", at);
        std::size_t start = std::min(item, container);
        if (start == std::string::npos) break;
        Didl object;
        object.kind = start == item ? "item" : "container";
        std::string close = "</" + object.kind + ">";
        std::size_t end = didl.find(close, start);
        std::string body = didl.substr(start, end - start);
        object.id = XmlUnescape(Between(body, " id=\"", "\""));
        object.parent_id = XmlUnescape(Between(body, "parentID=\"", "\""));
        object.title = XmlUnescape(Between(body, "<dc:title>", "</dc:title>"));
        object.upnp_class = Between(body, "<upnp:class>", "</upnp:class>");
        std::string head = body.substr(0, body.find('>'));
        object.restricted = Between(head, "restricted=\"", "\"");
        object.child_count = Between(head, "childCount=\"", "\"");
        object.create_class = body.find("<upnp:createClass") != std::string::npos;
        for (std::size_t r = body.find("<res "); r != std::string::npos;
             r = body.find("<res ", r + 1)) {
            std::string tag = body.substr(r, body.find('>', r) - r);
            object.protocol_info.push_back(XmlUnescape(Between(tag, "protocolInfo=\"", "\"")));
            object.size.push_back(Between(tag, "size=\"", "\""));
            object.res.push_back(XmlUnescape(Between(body, ">", "</res>", r)));
        }
        objects.push_back(object);
        at = end;
    }
    return objects;
}

struct BrowseAnswer {
    int status = 0;
    int error = 0;
    std::string didl;
    std::vector<Didl> objects;
    long returned = -1;
    long total = -1;
    long update_id = -1;
};

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

class DmsIntegrationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tv-dms-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        tv::SharedFolders_SetSettingsPath(*context_->folders, root_ + "/TindravollerDLNA.dat");
        Share({});
    }

    void TearDown() override
    {
        StopServer();
        std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    void StartServer(const std::vector<std::uint32_t>& addresses = {},
                     const tv::ServerOptions* options = nullptr)
    {
        context_->ssdp = false;
        if (options != nullptr) context_->options = *options;
        chain_ = OlvChain_Create(OlvLifeTime_Create);
        pool_ = OlvThreadPool_Create();
        worker_ = std::thread([p = pool_] { OlvThreadPool_Run(p); });
        tv::ThreadPoolWaitForWorkers(pool_, 1);
        dms_ = DmsIntegration_Create(chain_, context_.get(), pool_, 0, "Tindravoller DLNA - test -",
                                     tv::test::kTestUdn, "0000001", 0, 0, "", kSource, "\\");
        ASSERT_NE(dms_, nullptr);
        if (!addresses.empty())
            MSA_SetLocalAddresses(dms_->media_server, addresses.data(),
                                  static_cast<int>(addresses.size()));
        port_ = MicroStack_GetHttpPort(dms_->device);
        thread_ = std::make_unique<tv::test::ChainThread>(chain_);
        thread_->Start();
    }

    void StopServer()
    {
        if (thread_ == nullptr) return;
        thread_->Stop();
        thread_.reset();
        OlvThreadPool_Destroy(pool_);
        worker_.join();
    }

    std::string MakeFolder(const std::string& name)
    {
        std::string path = root_ + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), 0755), 0) << path;
        return path;
    }

    static void WriteFile(const std::string& path, const std::string& content)
    {
        std::ofstream out(path, std::ios::binary);
        out << content;
    }

    void Share(const std::vector<std::string>& folders)
    {
        std::string message;
        ASSERT_GE(SharedFolders_Save(*context_->folders, folders, &message), 0) << message;
    }

    // The ObjectID of a shared folder.
    static std::string FolderId(const std::string& path)
    {
        return "0\\" + tv::FileIoEscapeFolder(path) + "\\";
    }

    static std::string SoapRequest(const std::string& service, const std::string& action,
                                   const std::string& args)
    {
        std::string type = "urn:schemas-upnp-org:service:" + service + ":1";
        std::string body =
            "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
            action + " xmlns:u=\"" + type + "\">" + args + "</u:" + action +
            "></s:Body></s:Envelope>";
        std::string request = "POST /" + service +
                              "/control HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                              "Connection: close\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
                              "SOAPACTION: \"" +
                              type + "#" + action +
                              "\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                              body;
        return request;
    }

    std::string Post(const std::string& service, const std::string& action, const std::string& args)
    {
        return Exchange(port_, SoapRequest(service, action, args));
    }

    static std::string BrowseArguments(const std::string& id, const char* flag, unsigned start,
                                       unsigned count, const std::string& filter,
                                       const std::string& sort = "")
    {
        return "<ObjectID>" + XmlEscape(id) + "</ObjectID><BrowseFlag>" + flag +
               "</BrowseFlag><Filter>" + XmlEscape(filter) + "</Filter><StartingIndex>" +
               std::to_string(start) + "</StartingIndex><RequestedCount>" + std::to_string(count) +
               "</RequestedCount><SortCriteria>" + sort + "</SortCriteria>";
    }

    BrowseAnswer Browse(const std::string& id, const char* flag, unsigned start = 0,
                        unsigned count = 0, const std::string& filter = "*",
                        const std::string& sort = "")
    {
        std::string wire = Post("ContentDirectory", "Browse",
                                BrowseArguments(id, flag, start, count, filter, sort));
        BrowseAnswer answer;
        answer.status = std::atoi(Between(wire, "HTTP/1.1 ", " ").c_str());
        if (answer.status != 200) {
            answer.error = std::atoi(Between(wire, "<errorCode>", "</errorCode>").c_str());
            return answer;
        }
        // The body is chunked: join the pieces before reading it.
        std::string body = Dechunk(wire.substr(wire.find("\r\n\r\n") + 4));
        answer.didl = XmlUnescape(Between(body, "<Result>", "</Result>"));
        answer.objects = ParseDidl(answer.didl);
        answer.returned = std::atol(Between(body, "<NumberReturned>", "</NumberReturned>").c_str());
        answer.total = std::atol(Between(body, "<TotalMatches>", "</TotalMatches>").c_str());
        answer.update_id = std::atol(Between(body, "<UpdateID>", "</UpdateID>").c_str());
        return answer;
    }

    static std::string Dechunk(const std::string& chunked)
    {
        std::string out;
        std::size_t at = 0;
        while (at < chunked.size()) {
            std::size_t eol = chunked.find("\r\n", at);
            if (eol == std::string::npos) break;
            unsigned long size = std::strtoul(chunked.c_str() + at, nullptr, 16);
            if (size == 0) break;
            out += chunked.substr(eol + 2, size);
            at = eol + 2 + size + 2;
        }
        return out;
    }

    // GET of a res URL on a fresh connection; returns the whole response.
    std::string Fetch(const std::string& url, const std::string& extra = "")
    {
        std::string prefix = "http://127.0.0.1:" + std::to_string(port_);
        EXPECT_EQ(url.compare(0, prefix.size(), prefix), 0) << url;
        std::string path = url.substr(prefix.size());
        return Exchange(port_, "GET " + path +
                                   " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra +
                                   "\r\n");
    }

    std::string root_;
    tv::test::TestContext context_;
    OlvChain* chain_ = nullptr;
    OlvThreadPool* pool_ = nullptr;
    std::thread worker_;
    DmsIntegration* dms_ = nullptr;
    std::uint16_t port_ = 0;
    std::unique_ptr<tv::test::ChainThread> thread_;
};

std::set<std::string> Titles(const BrowseAnswer& answer)
{
    std::set<std::string> titles;
    for (const Didl& object : answer.objects) titles.insert(object.title);
    return titles;
}

const Didl* Find(const BrowseAnswer& answer, const std::string& title)
{
    for (const Didl& object : answer.objects)
        if (object.title == title) return &object;
    return nullptr;
}

}  // namespace

TEST_F(DmsIntegrationTest, RootListsTheSharedFoldersInTableOrder)
{
    std::string music = MakeFolder("Music");
    std::string photos = MakeFolder("Photos");
    std::string video = MakeFolder("Video clips");
    StartServer();

    BrowseAnswer none = Browse("0", "BrowseDirectChildren");
    ASSERT_EQ(none.status, 200);
    EXPECT_EQ(none.returned, 0);
    EXPECT_EQ(none.total, 0);
    EXPECT_EQ(none.update_id, 0);
    EXPECT_NE(none.didl.find("<DIDL-Lite"), std::string::npos);

    Share({photos});
    BrowseAnswer one = Browse("0", "BrowseDirectChildren");
    ASSERT_EQ(one.objects.size(), 1u);
    EXPECT_EQ(one.objects[0].kind, "container");
    EXPECT_EQ(one.objects[0].id, FolderId(photos));
    EXPECT_EQ(one.objects[0].parent_id, "0");
    EXPECT_EQ(one.objects[0].title, "Photos");
    EXPECT_EQ(one.objects[0].upnp_class, "object.container.storageFolder");
    EXPECT_TRUE(one.objects[0].res.empty());

    // The list is kept sorted; the root follows the table's order.
    Share({video, music, photos});
    BrowseAnswer several = Browse("0", "BrowseDirectChildren");
    ASSERT_EQ(several.objects.size(), 3u);
    EXPECT_EQ(several.total, 3);
    EXPECT_EQ(several.objects[0].id, FolderId(video));
    EXPECT_EQ(several.objects[0].title, "Video clips");
    EXPECT_EQ(several.objects[1].id, FolderId(music));
    EXPECT_EQ(several.objects[2].id, FolderId(photos));

    // A folder that no longer exists is left out.
    ASSERT_EQ(rmdir(music.c_str()), 0);
    EXPECT_EQ(Browse("0", "BrowseDirectChildren").total, 2);
}

TEST_F(DmsIntegrationTest, FolderListsPublishedFilesWithTheirResources)
{
    std::string folder = MakeFolder("Music");
    WriteFile(folder + "/a.mp3", "mp3 data");
    WriteFile(folder + "/b.JPG", "jpeg");
    WriteFile(folder + "/c.jpeg", "not listed");
    WriteFile(folder + "/d.txt", "not listed");
    WriteFile(folder + "/e.mp3.tmp", "partial");
    Share({folder});
    StartServer();

    BrowseAnswer answer = Browse(FolderId(folder), "BrowseDirectChildren");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.total, 3);
    EXPECT_EQ(answer.returned, 3);
    EXPECT_EQ(Titles(answer), (std::set<std::string>{"a.mp3", "b.JPG", "e.mp3"}));

    const Didl* a = Find(answer, "a.mp3");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->id, FolderId(folder) + "a.mp3");
    EXPECT_EQ(a->parent_id, FolderId(folder));
    EXPECT_EQ(a->upnp_class, "object.item.audioItem");
    ASSERT_EQ(a->res.size(), 1u);
    EXPECT_EQ(a->protocol_info[0], kMp3Info);
    EXPECT_EQ(a->size[0], "8");
    // The whole URL went through the escaping once more: %2F became %252F.
    std::string escaped_folder = tv::FileIoEscapeFolder(folder);
    std::string escaped_twice;
    for (char c : escaped_folder)
        escaped_twice += c == '%' ? std::string("%25") : std::string(1, c);
    EXPECT_EQ(a->res[0],
              "http://127.0.0.1:" + std::to_string(port_) + "/content/" + escaped_twice + "/a.mp3");
    std::string body = Fetch(a->res[0]);
    EXPECT_EQ(body.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(body.find("mp3 data"), std::string::npos);

    const Didl* b = Find(answer, "b.JPG");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->upnp_class, "object.item.imageItem");
    ASSERT_EQ(b->protocol_info.size(), 1u);
    EXPECT_EQ(b->protocol_info[0], kJpegInfo);

    // The partial file: named without ".tmp", a res with protocolInfo but no URL and no size.
    const Didl* e = Find(answer, "e.mp3");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->id, FolderId(folder) + "e.mp3");
    ASSERT_EQ(e->res.size(), 1u);
    EXPECT_EQ(e->protocol_info[0], kMp3Info);
    EXPECT_EQ(e->res[0], "");
    EXPECT_EQ(e->size[0], "");
}

TEST_F(DmsIntegrationTest, PagesCountEverythingAndReturnTheRequestedSlice)
{
    std::string folder = MakeFolder("Five");
    for (const char* name : {"1.mp3", "2.mp3", "3.jpg", "4.png", "5.avi", "skip.txt"})
        WriteFile(folder + "/" + name, name);
    Share({folder});
    StartServer();

    BrowseAnswer all = Browse(FolderId(folder), "BrowseDirectChildren");
    ASSERT_EQ(all.objects.size(), 5u);
    EXPECT_EQ(all.total, 5);

    BrowseAnswer page = Browse(FolderId(folder), "BrowseDirectChildren", 2, 2);
    EXPECT_EQ(page.returned, 2);
    EXPECT_EQ(page.total, 5);
    EXPECT_EQ(page.update_id, 0);
    ASSERT_EQ(page.objects.size(), 2u);
    EXPECT_EQ(page.objects[0].id, all.objects[2].id);
    EXPECT_EQ(page.objects[1].id, all.objects[3].id);
    // A page keeps its res elements like the whole list does.
    EXPECT_EQ(page.objects[0].res, all.objects[2].res);

    BrowseAnswer tail = Browse(FolderId(folder), "BrowseDirectChildren", 4, 10);
    ASSERT_EQ(tail.objects.size(), 1u);
    EXPECT_EQ(tail.objects[0].id, all.objects[4].id);
    EXPECT_EQ(tail.total, 5);

    BrowseAnswer beyond = Browse(FolderId(folder), "BrowseDirectChildren", 9, 2);
    EXPECT_EQ(beyond.returned, 0);
    EXPECT_EQ(beyond.total, 5);
    EXPECT_TRUE(beyond.objects.empty());
    EXPECT_NE(beyond.didl.find("</DIDL-Lite>"), std::string::npos);
}

TEST_F(DmsIntegrationTest, MetadataOfRootFolderFileUnpublishedAndPartial)
{
    std::string folder = MakeFolder("Music");
    WriteFile(folder + "/a.mp3", "abc");
    WriteFile(folder + "/d.txt", "text");
    WriteFile(folder + "/x.mp3.tmp", "partial");
    Share({folder});
    StartServer();

    BrowseAnswer root = Browse("0", "BrowseMetadata");
    ASSERT_EQ(root.objects.size(), 1u);
    EXPECT_EQ(root.objects[0].id, "0");
    EXPECT_EQ(root.objects[0].parent_id, "-1");
    EXPECT_EQ(root.objects[0].title, "Root");
    EXPECT_EQ(root.objects[0].upnp_class, "object.container.storageFolder");
    EXPECT_EQ(root.total, 1);

    BrowseAnswer shared = Browse(FolderId(folder), "BrowseMetadata");
    ASSERT_EQ(shared.objects.size(), 1u);
    EXPECT_EQ(shared.objects[0].kind, "container");
    EXPECT_EQ(shared.objects[0].parent_id, "0");
    EXPECT_EQ(shared.objects[0].title, "Music");

    BrowseAnswer file = Browse(FolderId(folder) + "a.mp3", "BrowseMetadata");
    ASSERT_EQ(file.objects.size(), 1u);
    EXPECT_EQ(file.objects[0].kind, "item");
    ASSERT_EQ(file.objects[0].res.size(), 1u);
    EXPECT_EQ(file.objects[0].size[0], "3");

    BrowseAnswer unpublished = Browse(FolderId(folder) + "d.txt", "BrowseMetadata");
    EXPECT_EQ(unpublished.status, 200);
    EXPECT_EQ(unpublished.total, 0);
    EXPECT_EQ(unpublished.returned, 0);

    BrowseAnswer partial = Browse(FolderId(folder) + "x.mp3", "BrowseMetadata");
    ASSERT_EQ(partial.objects.size(), 1u);
    EXPECT_EQ(partial.objects[0].title, "x.mp3");
    ASSERT_EQ(partial.objects[0].res.size(), 1u);
    EXPECT_EQ(partial.objects[0].res[0], "");
    EXPECT_EQ(partial.objects[0].protocol_info[0], kMp3Info);
}

TEST_F(DmsIntegrationTest, MissingObjectsAndFilesAsContainersAreErrors)
{
    std::string folder = MakeFolder("Music");
    std::string outside = MakeFolder("Outside");
    WriteFile(folder + "/a.mp3", "abc");
    WriteFile(outside + "/secret.mp3", "secret");
    Share({folder});
    StartServer();

    EXPECT_EQ(Browse(FolderId(folder) + "none.mp3", "BrowseMetadata").error, 701);
    EXPECT_EQ(Browse(FolderId(outside), "BrowseDirectChildren").error, 701);
    EXPECT_EQ(Browse(FolderId(folder) + "..\\Outside\\", "BrowseDirectChildren").error, 701);
    EXPECT_EQ(Browse(FolderId(folder) + "..%2FOutside\\", "BrowseDirectChildren").error, 701);
    EXPECT_EQ(Browse(FolderId(folder) + "a.mp3", "BrowseDirectChildren").error, 710);
    // Nor can a URL reach past the shared folders.
    std::string escaped = tv::FileIoEscapeFolder(folder);
    std::string twice;
    for (char c : escaped) twice += c == '%' ? std::string("%25") : std::string(1, c);
    std::string base = "http://127.0.0.1:" + std::to_string(port_) + "/content/";
    EXPECT_EQ(Fetch(base + twice + "/..%252FOutside/secret.mp3"),
              "HTTP/1.1 404 File Not Found\r\n\r\n");
    EXPECT_EQ(Fetch(base + twice), "HTTP/1.1 404 File Not Found\r\n\r\n");
    // A NUL would cut the name short of what was asked for.
    EXPECT_EQ(Fetch(base + twice + "/a.mp3%00.jpg"), "HTTP/1.1 404 File Not Found\r\n\r\n");
    EXPECT_EQ(Browse(FolderId(folder) + std::string("a.mp3\0.jpg", 10), "BrowseMetadata").error,
              701);
}

// A link is followed only while it leads to a folder shared now, however it changes; one that
// leads out is logged once, and one that leads back above itself is not listed.
TEST_F(DmsIntegrationTest, LinksAreFollowedOnlyInsideTheSharedFolders)
{
    std::string music = MakeFolder("Music");
    std::string other = MakeFolder("Other");
    std::string secret = MakeFolder("Secret");
    MakeFolder("Music/Sub");
    WriteFile(music + "/real.mp3", "inside");
    WriteFile(other + "/o.mp3", "other");
    WriteFile(secret + "/s.mp3", "secret");
    auto link = [&](const std::string& target, const std::string& at) {
        ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + at).c_str()), 0) << at;
    };
    link("real.mp3", "Music/in.mp3");
    link("real.mp3", "Music/swap.mp3");
    link(secret + "/s.mp3", "Music/out.mp3");
    link(secret, "Music/outdir");
    link("..", "Music/up");
    link(other, "Music/other");
    link("..", "Music/Sub/back");
    link(music, "Other/music");
    Share({music, other});
    LogCapture log;
    StartServer();

    const std::string id = FolderId(music);
    const std::set<std::string> inside{"real.mp3", "in.mp3", "swap.mp3", "Sub", "other"};
    EXPECT_EQ(Titles(Browse(id, "BrowseDirectChildren")), inside);
    EXPECT_EQ(Titles(Browse(id, "BrowseDirectChildren")), inside);
    EXPECT_EQ(Titles(Browse(id + "Sub\\", "BrowseDirectChildren")), std::set<std::string>{});
    EXPECT_EQ(Titles(Browse(FolderId(other), "BrowseDirectChildren")),
              (std::set<std::string>{"o.mp3", "music"}));
    // Through one link of a pair that leads round, the other is not listed.
    EXPECT_EQ(Titles(Browse(id + "other\\", "BrowseDirectChildren")),
              std::set<std::string>{"o.mp3"});
    EXPECT_EQ(Titles(Browse(FolderId(other) + "music\\", "BrowseDirectChildren")),
              (std::set<std::string>{"real.mp3", "in.mp3", "swap.mp3", "Sub"}));
    for (const char* out : {"up\\", "outdir\\", "out.mp3", "up\\Secret\\s.mp3"})
        EXPECT_EQ(Browse(id + out, "BrowseMetadata").error, 701) << out;

    const std::string base = "http://127.0.0.1:" + std::to_string(port_) + "/content/";
    std::string url = base;
    for (char c : tv::FileIoEscapeFolder(music))
        url += c == '%' ? std::string("%25") : std::string(1, c);
    std::string in = Fetch(url + "/in.mp3");
    EXPECT_EQ(in.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(in.find("inside"), std::string::npos);
    EXPECT_NE(Fetch(url + "/other/o.mp3").find("\r\n\r\n5\r\nother\r\n"), std::string::npos);
    const std::string not_found = "HTTP/1.1 404 File Not Found\r\n\r\n";
    for (const char* out : {"/out.mp3", "/out.mp3", "/outdir/s.mp3", "/up/Secret/s.mp3"})
        EXPECT_EQ(Fetch(url + out), not_found) << out;

    // Listed while inside, re-pointed before the GET: judged again.
    BrowseAnswer listed = Browse(id, "BrowseDirectChildren");
    const Didl* swap = Find(listed, "swap.mp3");
    ASSERT_NE(swap, nullptr);
    ASSERT_EQ(unlink((music + "/swap.mp3").c_str()), 0);
    link(secret + "/s.mp3", "Music/swap.mp3");
    EXPECT_EQ(Fetch(swap->res[0]), not_found);

    std::vector<std::string> lines = LogCapture::Lines();
    auto count = [&](const std::string& text) {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(count("Link not followed, it leads out of the shared folders: " + music + "/out.mp3"),
              1);
    EXPECT_EQ(count("Link not followed, it leads out of the shared folders: " + music + "/up"), 1);
    EXPECT_EQ(
        count("Link not followed, it leads back to a folder it is in: " + music + "/Sub/back"), 1);

    // Allowed out, a link out is listed and served; a link back above itself still is not.
    StopServer();
    context_->options.follow_links_out = true;
    StartServer();
    EXPECT_EQ(Titles(Browse(id, "BrowseDirectChildren")),
              (std::set<std::string>{"real.mp3", "in.mp3", "swap.mp3", "Sub", "other", "out.mp3",
                                     "outdir"}));
}

TEST_F(DmsIntegrationTest, ServiceDescriptionsDeclareEveryRelatedStateVariable)
{
    StartServer();
    for (const char* service : {"ContentDirectory", "ConnectionManager"}) {
        SCOPED_TRACE(service);
        std::string scpd =
            Exchange(port_, "GET /" + std::string(service) + "/scpd.xml HTTP/1.0\r\n\r\n");
        std::set<std::string> declared;
        for (std::size_t at = scpd.find("<stateVariable "); at != std::string::npos;
             at = scpd.find("<stateVariable ", at + 1))
            declared.insert(Between(scpd, "<name>", "</name>", at));
        ASSERT_FALSE(declared.empty());
        int related = 0;
        for (std::size_t at = scpd.find("<relatedStateVariable>"); at != std::string::npos;
             at = scpd.find("<relatedStateVariable>", at + 1), ++related) {
            std::string name =
                Between(scpd, "<relatedStateVariable>", "</relatedStateVariable>", at);
            EXPECT_EQ(declared.count(name), 1u) << name;
        }
        EXPECT_GT(related, 0);
        EXPECT_EQ(scpd.find("CreateObject"), std::string::npos);
        EXPECT_EQ(scpd.find("DestroyObject"), std::string::npos);
    }
}

TEST_F(DmsIntegrationTest, AwkwardNamesListAndDownload)
{
    std::string folder = MakeFolder("Odd names");
    // A "?" stays in the URL as it always was: the server reads the query as part of the name.
    const std::vector<std::string> names = {"with space.mp3",   "a&b.mp3",    "50%.mp3",
                                            "n#1.mp3",          "café ü.mp3", "back\\slash.mp3",
                                            "#hash?query=1.mp3"};
    for (const std::string& name : names) WriteFile(folder + "/" + name, "content of " + name);
    Share({folder});
    StartServer();

    BrowseAnswer answer = Browse(FolderId(folder), "BrowseDirectChildren");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.total, static_cast<long>(names.size()));
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const Didl* object = Find(answer, name);
        ASSERT_NE(object, nullptr);
        std::string id_name = name == "back\\slash.mp3" ? "back%5Cslash.mp3" : name;
        EXPECT_EQ(object->id, FolderId(folder) + id_name);
        ASSERT_EQ(object->res.size(), 1u);
        // Nothing in a URL needs escaping any more.
        for (char c : object->res[0])
            EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)) ||
                        std::strchr("$*+-./:;=?@_%", c));
        std::string response = Fetch(object->res[0]);
        EXPECT_EQ(response.substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_NE(response.find("content of " + name), std::string::npos);
        if (name.find('?') != std::string::npos) {
            EXPECT_NE(object->res[0].find("%23hash?query=1.mp3"), std::string::npos);
        }
        // And the metadata of the object is found under its id.
        BrowseAnswer meta = Browse(object->id, "BrowseMetadata");
        ASSERT_EQ(meta.objects.size(), 1u);
        EXPECT_EQ(meta.objects[0].title, name);
    }
}

TEST_F(DmsIntegrationTest, NamesThatAreNotUtf8NeverReachTheDocument)
{
    std::string folder = MakeFolder("Bytes");
    WriteFile(folder + "/good.mp3", "good");
    WriteFile(folder + "/bad\xff\xfe.mp3", "bad");
    WriteFile(folder + "/ctl\x01.mp3", "bad");
    Share({folder});
    StartServer();

    BrowseAnswer answer = Browse(FolderId(folder), "BrowseDirectChildren");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(Titles(answer), (std::set<std::string>{"good.mp3"}));
    EXPECT_EQ(answer.didl.find('\xff'), std::string::npos);
    EXPECT_EQ(answer.didl.find('\x01'), std::string::npos);
    EXPECT_EQ(answer.returned, static_cast<long>(answer.objects.size()));
}

TEST_F(DmsIntegrationTest, AllIpGivesOneResPerAddressReceivingAddressFirst)
{
    std::string folder = MakeFolder("Music");
    WriteFile(folder + "/a.mp3", "abc");
    Share({folder});
    std::uint32_t other = 0;
    ASSERT_EQ(inet_pton(AF_INET, "10.1.2.3", &other), 1);
    StartServer({other, htonl(INADDR_LOOPBACK)});

    std::string prefix = "http://127.0.0.1:" + std::to_string(port_) + "/content/";
    BrowseAnswer plain = Browse(FolderId(folder) + "a.mp3", "BrowseMetadata");
    ASSERT_EQ(plain.objects.size(), 1u);
    ASSERT_EQ(plain.objects[0].res.size(), 1u);
    EXPECT_EQ(plain.objects[0].res[0].compare(0, prefix.size(), prefix), 0);

    BrowseAnswer all = Browse(FolderId(folder) + "a.mp3", "BrowseMetadata", 0, 0, "*,ALLIP");
    ASSERT_EQ(all.objects.size(), 1u);
    ASSERT_EQ(all.objects[0].res.size(), 2u);
    EXPECT_EQ(all.objects[0].res[0], plain.objects[0].res[0]);
    EXPECT_EQ(all.objects[0].res[1], "http://10.1.2.3:" + std::to_string(port_) + "/content/" +
                                         all.objects[0].res[0].substr(prefix.size()));
    EXPECT_EQ(all.objects[0].protocol_info[1], kMp3Info);

    // A container never gets res elements.
    BrowseAnswer container = Browse(FolderId(folder), "BrowseMetadata", 0, 0, "*,ALLIP");
    ASSERT_EQ(container.objects.size(), 1u);
    EXPECT_TRUE(container.objects[0].res.empty());
}

TEST_F(DmsIntegrationTest, ContentDirectoryAnswersPostsAndLogsRequests)
{
    std::string folder = MakeFolder("Music");
    WriteFile(folder + "/a.mp3", "0123456789");
    Share({folder});
    LogCapture log;
    StartServer();

    std::string post = Exchange(port_,
                                "POST /content/anything HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "Content-Length: 3\r\n\r\nabc");
    EXPECT_EQ(post, "HTTP/1.1 400\r\n\r\n");

    // Other methods get no answer, and their connection is not left hanging.
    for (const char* method : {"PUT", "OPTIONS", "DELETE"}) {
        SCOPED_TRACE(method);
        tv::test::LoopbackClient client(port_, 2000);
        ASSERT_TRUE(client.connected());
        client.Send(std::string(method) +
                    " /content/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1\r\n\r\nx");
        EXPECT_EQ(client.ReadAll(), "");
        EXPECT_TRUE(client.closed()) << "the connection was left open";
    }

    BrowseAnswer answer = Browse(FolderId(folder) + "a.mp3", "BrowseMetadata");
    ASSERT_EQ(answer.objects.size(), 1u);
    LogCapture::Clear();
    std::string ranged = Fetch(answer.objects[0].res[0], "Range: bytes=2-4\r\n");
    EXPECT_EQ(ranged.substr(0, 28), "HTTP/1.1 206 Partial Content");
    EXPECT_NE(ranged.find("Content-Range: bytes 2-4/10"), std::string::npos);
    EXPECT_NE(ranged.find("\r\n234\r\n"), std::string::npos);
    std::vector<std::string> lines = LogCapture::Lines();
    std::string path = tv::FileIoEscapeFolder(folder) + "\\a.mp3";
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Incoming http request"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "GET " + path + " RANGE (bytes=2-4)"),
              lines.end());

    // A path without an extension is served as application/octet-stream.
    WriteFile(folder + "/noext", "plain");
    std::string escaped = tv::FileIoEscapeFolder(folder);
    std::string twice;
    for (char c : escaped) twice += c == '%' ? std::string("%25") : std::string(1, c);
    std::string bare =
        Fetch("http://127.0.0.1:" + std::to_string(port_) + "/content/" + twice + "/noext");
    EXPECT_EQ(bare.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_NE(bare.find("Content-Type: application/octet-stream"), std::string::npos);
}

TEST_F(DmsIntegrationTest, ConnectionManagerAndCapabilityAnswers)
{
    StartServer();
    std::string info1 =
        Post("ConnectionManager", "GetCurrentConnectionInfo", "<ConnectionID>1</ConnectionID>");
    EXPECT_EQ(info1.substr(0, 12), "HTTP/1.1 500");
    EXPECT_NE(info1.find("<errorCode>706</errorCode>"), std::string::npos);
    EXPECT_NE(info1.find("<errorDescription>Connection does not exist.</errorDescription>"),
              std::string::npos);

    std::string info0 =
        Post("ConnectionManager", "GetCurrentConnectionInfo", "<ConnectionID>0</ConnectionID>");
    EXPECT_EQ(info0.substr(0, 12), "HTTP/1.1 200");
    EXPECT_NE(info0.find("<RcsID>-1</RcsID>"), std::string::npos);
    EXPECT_NE(info0.find("<Direction>Output</Direction>"), std::string::npos);
    EXPECT_NE(info0.find("<Status>Unknown</Status>"), std::string::npos);

    std::string protocols = Post("ConnectionManager", "GetProtocolInfo", "");
    EXPECT_NE(protocols.find(std::string("<Source>") + kSource + "</Source>"), std::string::npos);
    EXPECT_NE(protocols.find("<Sink></Sink>"), std::string::npos);
    std::string ids = Post("ConnectionManager", "GetCurrentConnectionIDs", "");
    EXPECT_NE(ids.find("<ConnectionIDs>0</ConnectionIDs>"), std::string::npos);
    std::string search = Post("ContentDirectory", "GetSearchCapabilities", "");
    EXPECT_NE(search.find("<SearchCaps></SearchCaps>"), std::string::npos);
    std::string sort = Post("ContentDirectory", "GetSortCapabilities", "");
    EXPECT_NE(sort.find("<SortCaps></SortCaps>"), std::string::npos);
    std::string update = Post("ContentDirectory", "GetSystemUpdateID", "");
    EXPECT_NE(update.find("<Id>0</Id>"), std::string::npos);
}

TEST_F(DmsIntegrationTest, SettingsFileEditedElsewhereIsFollowed)
{
    std::string first = MakeFolder("First");
    std::string later = MakeFolder("Later");
    Share({first});
    StartServer();
    ASSERT_EQ(Browse("0", "BrowseDirectChildren").total, 1);

    // Another process rewrites the file (as the program's --share does): only the file
    // changes, not this process's table.
    std::string path = tv::SharedFolders_SettingsPath(*context_->folders);
    std::string bytes = tv::SharedFolders_Encode({first, later});
    std::string scratch = path + ".new";
    WriteFile(scratch, bytes);
    ASSERT_EQ(std::rename(scratch.c_str(), path.c_str()), 0);

    BrowseAnswer answer = Browse("0", "BrowseDirectChildren");
    ASSERT_EQ(answer.objects.size(), 2u);
    EXPECT_EQ(answer.objects[1].id, FolderId(later));

    // A garbled file leaves the table as it was.
    WriteFile(scratch, "garbage");
    ASSERT_EQ(std::rename(scratch.c_str(), path.c_str()), 0);
    EXPECT_EQ(Browse("0", "BrowseDirectChildren").total, 2);
}

// Everything the server sends on a connection until it ends it (an end of stream, or a reset
// after the data); *ended is false when the client's time-out came first.
static std::string ReadToEnd(tv::test::LoopbackClient& client, bool* ended)
{
    std::string out;
    char chunk[16384];
    *ended = false;
    for (;;) {
        ssize_t n = ::recv(client.fd(), chunk, sizeof chunk, 0);
        if (n > 0) {
            out.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        *ended = n == 0 || errno == ECONNRESET;
        return out;
    }
}

// Random runs of requests written at once: the answers are those of the same requests sent one
// by one, in order, each once and whole, and nothing follows a request that ends the connection
// (Connection: close, HTTP/1.0, a refused media request).
TEST_F(DmsIntegrationTest, PipelinedRequestsGetTheAnswersTheyGetOneByOne)
{
    std::string folder = MakeFolder("Pipe");
    std::string pattern(3 * 16384 + 17, '\0');
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>('a' + i % 26);
    WriteFile(folder + "/a.mp3", pattern.substr(0, 1000));
    WriteFile(folder + "/b.mp3", pattern);
    WriteFile(folder + "/c.jpg", "jpeg");
    // Enough for a whole listing to pass the bound on unsent bytes that makes a Browse wait.
    for (int i = 0; i < 450; ++i) WriteFile(folder + "/f" + std::to_string(i) + ".mp3", "x");
    Share({folder});
    StartServer();

    BrowseAnswer listing = Browse(FolderId(folder), "BrowseDirectChildren");
    const std::string prefix = "http://127.0.0.1:" + std::to_string(port_);
    auto path_of = [&](const std::string& title) {
        const Didl* object = Find(listing, title);
        return object != nullptr && !object->res.empty() ? object->res[0].substr(prefix.size())
                                                         : "";
    };
    auto browse = [&](const std::string& version, const std::string& extra, unsigned start,
                      unsigned count) {
        std::string type = "urn:schemas-upnp-org:service:ContentDirectory:1";
        std::string body =
            "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
            "<s:Body><u:Browse xmlns:u=\"" +
            type + "\"><ObjectID>" + XmlEscape(FolderId(folder)) +
            "</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>" +
            std::to_string(start) + "</StartingIndex><RequestedCount>" + std::to_string(count) +
            "</RequestedCount><SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>";
        return "POST /ContentDirectory/control HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" +
               extra + "SOAPACTION: \"" + type +
               "#Browse\"\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    auto get = [](const std::string& method, const std::string& path, const std::string& version,
                  const std::string& extra) {
        return method + " " + path + " HTTP/" + version + "\r\nHost: 127.0.0.1\r\n" + extra +
               "\r\n";
    };
    struct Request {
        std::string wire;
        bool closes;
    };
    std::vector<Request> kept;     // answered on a connection that stays open
    std::vector<Request> closing;  // answered, then the connection ends
    for (const char* path : {"/", "/ContentDirectory/scpd.xml", "/ConnectionManager/scpd.xml"}) {
        kept.push_back({get("GET", path, "1.1", ""), false});
        closing.push_back({get("GET", path, "1.1", "Connection: close\r\n"), true});
    }
    kept.push_back({get("HEAD", "/", "1.1", ""), false});
    kept.push_back({browse("1.1", "", 0, 0), false});
    kept.push_back({browse("1.1", "", 5, 3), false});
    closing.push_back({browse("1.1", "Connection: close\r\n", 0, 0), true});
    closing.push_back({browse("1.0", "", 2, 2), true});
    const std::string a = path_of("a.mp3");
    const std::string b = path_of("b.mp3");
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    for (const char* range : {"bytes=0-99", "bytes=-100", "bytes=900-"})
        kept.push_back({get("GET", a, "1.1", std::string("Range: ") + range + "\r\n"), false});
    for (const char* range : {"bytes=1000-40000", "bytes=16383-"})
        kept.push_back({get("GET", b, "1.1", std::string("Range: ") + range + "\r\n"), false});
    kept.push_back({get("GET", b, "1.1", ""), false});
    kept.push_back({get("HEAD", b, "1.1", ""), false});
    kept.push_back({get("GET", path_of("c.jpg"), "1.1", ""), false});
    closing.push_back({get("GET", b, "1.0", "Range: bytes=100-20000\r\n"), true});
    closing.push_back({get("HEAD", a, "1.1", "Connection: close\r\n"), true});
    closing.push_back({get("GET", a, "1.1", "Range: bytes=5000-\r\n"), true});  // 416
    closing.push_back({get("GET", "/content/none.mp3", "1.1", ""), true});      // 404

    // Each request alone on a fresh connection: the answer, up to the end of the connection.
    std::map<std::string, std::string> alone;
    for (const std::vector<Request>* list : {&kept, &closing}) {
        for (const Request& request : *list) {
            tv::test::LoopbackClient client(port_);
            ASSERT_TRUE(client.Send(request.wire));
            ::shutdown(client.fd(), SHUT_WR);
            bool ended = false;
            alone[request.wire] = ReadToEnd(client, &ended);
            ASSERT_TRUE(ended) << request.wire;
            ASSERT_EQ(alone[request.wire].substr(0, 9), "HTTP/1.1 ") << request.wire;
        }
    }

    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        std::vector<const Request*> run;
        const int length = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < length; ++i) run.push_back(&kept[random() % kept.size()]);
        if (random() % 3 != 0)
            run.insert(run.begin() + random() % (run.size() + 1),
                       &closing[random() % closing.size()]);
        std::string wire;
        std::string expected;
        bool answering = true;
        for (const Request* request : run) {
            wire += request->wire;
            if (answering) expected += alone[request->wire];
            if (request->closes) answering = false;
        }
        tv::test::LoopbackClient client(port_);
        ASSERT_TRUE(client.Send(wire));
        ::shutdown(client.fd(), SHUT_WR);
        bool ended = false;
        std::string got = ReadToEnd(client, &ended);
        ASSERT_TRUE(ended) << "seed " << seed << ": no end after " << got.size() << " bytes\n"
                           << wire;
        ASSERT_TRUE(got == expected) << "seed " << seed << ": " << got.size() << " bytes, expected "
                                     << expected.size() << "\n"
                                     << wire;
    }
}

// Four clients ask for the whole of a 20,000-file folder (about 14 MB each) and do not read:
// each answer waits in a piece of bounded size, not whole, and still comes out byte for byte
// what a reader gets at once.
TEST_F(DmsIntegrationTest, UnreadBrowseAnswersHoldBoundedMemory)
{
    std::string folder = MakeFolder("Many");
    WriteFile(folder + "/track 0.mp3", "");
    for (int i = 1; i < 20000; ++i)  // links: far quicker to make than files
        ASSERT_EQ(::link((folder + "/track 0.mp3").c_str(),
                         (folder + "/track " + std::to_string(i) + ".mp3").c_str()),
                  0);
    Share({folder});
    StartServer();
    ASSERT_EQ(Browse(FolderId(folder), "BrowseDirectChildren", 0, 10).total,
              20000);  // listing kept
    const std::string request =
        SoapRequest("ContentDirectory", "Browse",
                    BrowseArguments(FolderId(folder), "BrowseDirectChildren", 0, 0, "*"));

    const std::int64_t before = tv::test::ResidentBytes();
    std::vector<std::unique_ptr<tv::test::LoopbackClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<tv::test::LoopbackClient>(port_));
        // The kernel takes in only a little of each answer (a window below the segment size
        // would crawl through a corked answer, though).
        int small = 256 * 1024;
        ::setsockopt(clients.back()->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        ASSERT_TRUE(clients.back()->Send(request));
        // The first bytes leave once the server stops building: when the answer waits for
        // its reader, or (when it is held whole) once all of it is built.
        char first;
        ASSERT_EQ(::recv(clients.back()->fd(), &first, 1, MSG_PEEK), 1);
    }
    const std::int64_t grown = tv::test::ResidentBytes() - before;
    std::printf("RSS with four unread answers: %.1f MiB more than before\n",
                static_cast<double>(grown) / (1024 * 1024));
#ifndef TV_RESIDENT_MEMORY_BLURRED
    // Each waits with at most 256 KiB queued plus a 64 KiB gather: about 1.3 MiB for four,
    // where whole answers take over 40 MiB. The rest of the bound is allocator slack.
    EXPECT_LT(grown, 8 * 1024 * 1024);
#endif
    std::string late = clients[0]->ReadAll();
    EXPECT_TRUE(clients[0]->closed());
    clients[1].reset();
    std::string at_once = Exchange(port_, request);
    EXPECT_GT(at_once.size(), 10'000'000u);
    EXPECT_TRUE(late == at_once) << late.size() << " bytes, at once " << at_once.size();
    StopServer();  // two answers still wait for their readers: the chain's end frees them
}

TEST(DmsIntegrationText, Utf8ConversionsKeepValidTextAndRefuseTheRest)
{
    const std::string valid = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xb5";
    char* out = Utf8FromAnsi(valid.data(), static_cast<int>(valid.size()));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), valid);
    tv::Free(out);
    for (const std::string& bad :
         {std::string("\xff"), std::string("\xc3"), std::string("\xc0\xaf"),
          std::string("\xed\xa0\x80"), std::string("\xe2\x82"), std::string("\xf4\x90\x80\x80")}) {
        EXPECT_EQ(Utf8FromAnsi(bad.data(), static_cast<int>(bad.size())), nullptr);
    }
    const std::string any = "x\xff";
    out = AnsiFromUtf8(any.data(), static_cast<int>(any.size()));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), any);
    tv::Free(out);
}

namespace {

std::vector<std::string> TitleOrder(const BrowseAnswer& answer)
{
    std::vector<std::string> titles;
    for (const Didl& object : answer.objects) titles.push_back(object.title);
    return titles;
}

long SystemUpdateId(const std::string& answer)
{
    return std::atol(Between(answer, "<Id>", "</Id>").c_str());
}

}  // namespace

// Today's listing as a TV sees it on the wire: films are films with the MIME type TVs take,
// nothing hidden is listed or served, folders come first and names in natural order, a
// folder's childCount is what its Browse returns, nothing offers uploads, a "?" in a name
// cannot become a query, and the answers about sorting and types match what is done.
TEST_F(DmsIntegrationTest, TodaysListingOnTheWire)
{
    std::string folder = MakeFolder("Media");
    for (const char* name : {"track 10.mp3", "track 2.mp3", "film.mp4", "song.flac", "pic.jpeg",
                             "#hash?query=1.mp3", ".hidden.mp3", "._film.mp4", "notes.txt"})
        WriteFile(folder + "/" + name, std::string("content of ") + name);
    MakeFolder("Media/Album");
    MakeFolder("Media/.hiddendir");
    for (const char* name : {"Album/1.mp3", "Album/2.mp3", "Album/.x.mp3", ".hiddendir/h.mp3"})
        WriteFile(folder + "/" + name, name);
    Share({folder});
    tv::ServerOptions options;
    options.modern_listing = true;
    StartServer({}, &options);

    BrowseAnswer answer = Browse(FolderId(folder), "BrowseDirectChildren");
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(TitleOrder(answer),
              (std::vector<std::string>{"Album", "#hash?query=1.mp3", "film.mp4", "pic.jpeg",
                                        "song.flac", "track 2.mp3", "track 10.mp3"}));
    EXPECT_EQ(answer.returned, 7);
    EXPECT_EQ(answer.total, 7);
    for (const Didl& object : answer.objects) {
        SCOPED_TRACE(object.title);
        EXPECT_EQ(object.restricted, "1");
        EXPECT_FALSE(object.create_class);
    }
    const Didl* album = Find(answer, "Album");
    ASSERT_NE(album, nullptr);
    EXPECT_EQ(album->child_count, "2");
    EXPECT_EQ(Browse(album->id, "BrowseDirectChildren").returned, 2);
    const Didl* film = Find(answer, "film.mp4");
    ASSERT_NE(film, nullptr);
    EXPECT_EQ(film->upnp_class, "object.item.videoItem.movie");
    ASSERT_EQ(film->protocol_info.size(), 1u);
    EXPECT_EQ(
        film->protocol_info[0],
        "http-get:*:video/mp4:DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01700000000000000000000000000000");
    std::string served = Fetch(film->res[0]);
    EXPECT_NE(served.find("Content-Type: video/mp4"), std::string::npos);
    EXPECT_NE(served.find("transferMode.dlna.org: Streaming"), std::string::npos);
    EXPECT_EQ(Find(answer, "song.flac")->upnp_class, "object.item.audioItem.musicTrack");
    EXPECT_EQ(Find(answer, "pic.jpeg")->upnp_class, "object.item.imageItem.photo");

    // The query is part of the name, escaped; the file is served by it.
    const Didl* hash = Find(answer, "#hash?query=1.mp3");
    ASSERT_NE(hash, nullptr);
    ASSERT_EQ(hash->res.size(), 1u);
    EXPECT_EQ(hash->res[0].find('?'), std::string::npos) << hash->res[0];
    EXPECT_NE(Fetch(hash->res[0]).find("content of #hash?query=1.mp3"), std::string::npos);

    // What is left out is not served either: the answer of a missing file.
    const std::string url = film->res[0].substr(0, film->res[0].rfind('/') + 1);
    for (const char* name : {".hidden.mp3", "._film.mp4", ".hiddendir/h.mp3", "Album/.x.mp3",
                             "notes.txt", "missing.mp3"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Fetch(url + name),
                  "HTTP/1.1 404 File Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    EXPECT_EQ(Browse(FolderId(folder) + ".hidden.mp3", "BrowseMetadata").error, 701);

    // The root's childCount is the shared folders.
    BrowseAnswer root = Browse("0", "BrowseMetadata");
    ASSERT_EQ(root.objects.size(), 1u);
    EXPECT_EQ(root.objects[0].child_count, "1");

    std::string sort = Post("ContentDirectory", "GetSortCapabilities", "");
    EXPECT_NE(sort.find("<SortCaps>dc:title,dc:date,upnp:class</SortCaps>"), std::string::npos);
    EXPECT_EQ(TitleOrder(Browse(album->id, "BrowseDirectChildren", 0, 0, "*", "-dc:title")),
              (std::vector<std::string>{"2.mp3", "1.mp3"}));
    std::string refused =
        Post("ContentDirectory", "Browse",
             BrowseArguments(FolderId(folder), "BrowseDirectChildren", 0, 0, "*", "+upnp:artist"));
    EXPECT_NE(refused.find("<errorCode>709</errorCode>"), std::string::npos);
    EXPECT_NE(
        refused.find("<errorDescription>Unsupported or invalid sort criteria</errorDescription>"),
        std::string::npos);

    std::string protocols = Post("ConnectionManager", "GetProtocolInfo", "");
    EXPECT_NE(protocols.find("<Source>" + tv::ModernSourceProtocolInfo() + "</Source>"),
              std::string::npos);
    // Browse tells the SystemUpdateID, which started from the clock.
    long system = SystemUpdateId(Post("ContentDirectory", "GetSystemUpdateID", ""));
    EXPECT_GT(system, 1'600'000'000);
    EXPECT_EQ(answer.update_id, system);
}

// SystemUpdateID follows what a client can see: a file in a shared folder, a file in a folder
// once it was listed, and the list of shared folders. Browse's UpdateID moves with it.
TEST_F(DmsIntegrationTest, TodaysListingCountsEveryChange)
{
    std::string folder = MakeFolder("Media");
    std::string later = MakeFolder("Later");
    MakeFolder("Media/Sub");
    Share({folder});
    tv::ServerOptions options;
    options.modern_listing = true;
    StartServer({}, &options);
    auto system = [&] { return SystemUpdateId(Post("ContentDirectory", "GetSystemUpdateID", "")); };
    auto raised_from = [&](long before) {
        return tv::test::WaitUntil([&] { return system() > before; });
    };

    long before = system();
    WriteFile(folder + "/new.mp3", "x");
    ASSERT_TRUE(raised_from(before)) << "a file copied into a shared folder";
    EXPECT_EQ(Browse(FolderId(folder), "BrowseDirectChildren").update_id, system());

    Browse(FolderId(folder) + "Sub\\", "BrowseDirectChildren");
    before = system();
    WriteFile(folder + "/Sub/deeper.mkv", "x");
    ASSERT_TRUE(raised_from(before)) << "a file in a folder a client listed";
    before = system();
    ASSERT_EQ(rename((folder + "/Sub/deeper.mkv").c_str(), (folder + "/Sub/renamed.mkv").c_str()),
              0);
    ASSERT_TRUE(raised_from(before)) << "a rename";

    before = system();
    Share({folder, later});
    ASSERT_TRUE(raised_from(before)) << "a folder shared";
    EXPECT_EQ(Browse("0", "BrowseDirectChildren").total, 2);
}

// With media information a page waits for its files off the chain: other requests are
// answered meanwhile; each item gets its tag title (else its name without the extension), in
// the listing's order, and a file the helper hangs on is listed without information.
TEST_F(DmsIntegrationTest, MediaInformationPagesWaitWithoutHoldingTheChain)
{
    std::string folder = MakeFolder("Media");
    WriteFile(folder + "/a slow.mp3", "hang");
    WriteFile(folder + "/b song.mp3", "Tagged & Titled\n");
    WriteFile(folder + "/c film.mkv", "Film Title\n");
    WriteFile(folder + "/c film.srt", "1\n");
    std::string other = MakeFolder("Other");
    for (const char* name : {"1 One", "2 Two", "3 Three", "4 Four"})
        WriteFile(other + "/" + name + ".mp3", std::string(name + 2) + "\n");
    Share({folder, other});
    tv::ServerOptions options;
    options.modern_listing = options.media_info = true;
    context_->options = options;
    tv::MediaInfoOptions info_options;
    info_options.helper_program = TV_MEDIAINFO_STANDIN;
    info_options.keep_on_disk = false;
    info_options.helpers = 1;
    info_options.time_limit_ms = 3000;
    context_->media_info = tv::DmsMediaInfoCreate(context_.get(), info_options);
    StartServer({}, &options);

    BrowseAnswer slow;
    std::thread browsing([&] { slow = Browse(FolderId(folder), "BrowseDirectChildren"); });
    // The helper hangs on the first file for its time limit; the chain answers meanwhile.
    ASSERT_TRUE(tv::test::WaitUntil([&] {
        tv::MediaInfoStats stats = tv::MediaInfo_GetStats(context_->media_info);
        return stats.queued == 0 && !stats.helpers.empty();
    }));
    std::string answer = Post("ContentDirectory", "GetSystemUpdateID", "");
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    EXPECT_EQ(Browse("0", "BrowseDirectChildren").returned, 2);
    EXPECT_EQ(tv::MediaInfo_GetStats(context_->media_info).failures, 0u)
        << "the helper's time limit passed before the other answers";
    browsing.join();

    ASSERT_EQ(slow.status, 200);
    EXPECT_EQ(TitleOrder(slow),
              (std::vector<std::string>{"a slow", "Tagged & Titled", "Film Title"}));
    EXPECT_NE(slow.didl.find("xmlns:sec=\"http://www.sec.co.kr/\""), std::string::npos);
    // A page whose items are still being read holds no more than it was asked for.
    BrowseAnswer page = Browse(FolderId(other), "BrowseDirectChildren", 1, 2);
    EXPECT_EQ(TitleOrder(page), (std::vector<std::string>{"Two", "Three"}));
    EXPECT_EQ(page.total, 4);
    const Didl* film = Find(slow, "Film Title");
    ASSERT_NE(film, nullptr);
    ASSERT_EQ(film->protocol_info.size(), 2u);
    EXPECT_EQ(film->protocol_info[1], "http-get:*:text/srt:*");
    EXPECT_NE(slow.didl.find("<sec:CaptionInfoEx sec:type=\"srt\">" + film->res[1] + "<"),
              std::string::npos);
    // The subtitle is served beside its film, with the film's header naming it when asked.
    std::string srt = Fetch(film->res[1]);
    EXPECT_NE(srt.find("Content-Type: text/srt"), std::string::npos) << srt;
    EXPECT_NE(Fetch(film->res[0], "getCaptionInfo.sec: 1\r\n")
                  .find("CaptionInfo.sec: " + film->res[1] + "\r\n"),
              std::string::npos);
    EXPECT_EQ(Fetch(film->res[0]).find("CaptionInfo.sec"), std::string::npos);
    StopServer();
    tv::MediaInfo_Destroy(context_->media_info);
}
