#include "cds/CdsDidlSerializer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>

#include "runtime/Memory.h"

namespace {

char* Copy(const char* text)
{
    return tv::CopyBytes(text, std::strlen(text));
}

// Owns what the tests build: every text is owned by the object.
CdsObject* NewObject(CdsMediaClass media_class, const char* id, const char* parent,
                     const char* title)
{
    CdsObject* o = CdsObject_Allocate();
    o->media_class = media_class;
    o->owned_mask = tv::kCdsOwnId | tv::kCdsOwnParentId | tv::kCdsOwnTitle | tv::kCdsOwnCreator |
                    tv::kCdsOwnRefId;
    o->id = id ? Copy(id) : nullptr;
    o->parent_id = parent ? Copy(parent) : nullptr;
    o->title = title ? Copy(title) : nullptr;
    return o;
}

CdsResource* AddResource(CdsObject* o, const char* url, const char* protocol_info)
{
    CdsResource* res = CdsObject_AllocateResource();
    res->owned_mask = tv::kCdsResOwnValue | tv::kCdsResOwnProtocolInfo | tv::kCdsResOwnProtection |
                      tv::kCdsResOwnImportUri | tv::kCdsResOwnIfoFileUri |
                      tv::kCdsResOwnImportIfoFileUri;
    res->value = url ? Copy(url) : nullptr;
    res->protocol_info = protocol_info ? Copy(protocol_info) : nullptr;
    tv::CdsObject_AppendResource(o, res);
    return res;
}

// Serializes without the root, checks the reported length and the measured bound.
std::string Didl(const CdsObject* o, std::uint32_t filter, int single_escape = 0, int root = 0)
{
    tv::CdsDidlText didl = CdsToDidl_GetmediaObjectDidlEscaped(o, single_escape, filter, root);
    EXPECT_NE(didl.text, nullptr) << "error " << didl.error;
    if (didl.text == nullptr) return "<error>";
    std::string result(didl.text);
    EXPECT_EQ(static_cast<std::size_t>(didl.length), result.size());
    EXPECT_EQ(didl.error, tv::kCdsDidlNoError);
    EXPECT_GT(tv::CdsToDidl_MeasuredSize(o, single_escape, filter, root),
              static_cast<long long>(result.size()));
    tv::Free(didl.text);
    return result;
}

tv::CdsDidlError ErrorOf(const CdsObject* o, std::uint32_t filter)
{
    tv::CdsDidlText didl = CdsToDidl_GetmediaObjectDidlEscaped(o, 0, filter, 0);
    EXPECT_EQ(didl.text, nullptr);
    EXPECT_EQ(didl.length, 0);
    tv::Free(didl.text);
    return didl.error;
}

const std::string kItemHead =
    "\r\n&lt;item id=&quot;0\\a&quot; parentID=&quot;0&quot; restricted=&quot;1&quot;&gt;";

class CdsDidl : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
};

}  // namespace

TEST_F(CdsDidl, TitlesAreEscapedTwice)
{
    CdsObject* o = NewObject(0x8000, "0\\a", "0", "Tom & Jerry");
    o->flags = tv::kCdsFlagRestricted;
    EXPECT_EQ(Didl(o, 0), kItemHead +
                              "\r\n&lt;dc:title&gt;Tom &amp;amp; Jerry&lt;/dc:title&gt;"
                              "\r\n&lt;upnp:class&gt;object.item&lt;/upnp:class&gt;"
                              "\r\n&lt;/item&gt;");
    tv::Free(o->title);
    o->title = Copy("<\"'>&x");
    EXPECT_NE(Didl(o, 0).find("&gt;&amp;lt;&amp;quot;&amp;apos;&amp;gt;&amp;amp;x&lt;/dc:title"),
              std::string::npos);
    // Single depth: the ordinary XML escape, same markup.
    EXPECT_NE(Didl(o, 0, 1).find("&gt;&lt;&quot;&apos;&gt;&amp;x&lt;/dc:title"), std::string::npos);
    CdsObject_Release(o);

    char buffer[64];
    EXPECT_EQ(CdsToDidl_DoubleEscape(buffer, "a\"b'&<>"), 2 + 10 + 10 + 9 + 8 + 8);
    EXPECT_STREQ(buffer, "a&amp;quot;b&amp;apos;&amp;amp;&amp;lt;&amp;gt;");
    EXPECT_EQ(CdsToDidl_DoubleEscapeLength("a\"b'&<>"), 47);
    EXPECT_EQ(CdsToDidl_DoubleEscapeLength(""), 0);
}

TEST_F(CdsDidl, EmptyFilterKeepsOnlyTheFixedParts)
{
    CdsObject* o = NewObject(0xA000, "0\\a", "0", "Song");
    o->flags = tv::kCdsFlagRestricted;
    o->creator = Copy("Band");
    o->ref_id = Copy("0\\b");
    o->dlna_managed = 4;
    AddResource(o, "http://h/a.mp3", "http-get:*:audio/mpeg:*")->size = 10;
    const std::string expected =
        "\r\n&lt;item id=&quot;0\\a&quot; parentID=&quot;0&quot; "
        "restricted=&quot;1&quot; refID=&quot;0\\b&quot;&gt;"
        "\r\n&lt;dc:title&gt;Song&lt;/dc:title&gt;"
        "\r\n&lt;upnp:class&gt;object.item.audioItem&lt;/upnp:class&gt;"
        "\r\n&lt;/item&gt;";
    EXPECT_EQ(Didl(o, CdsFilter_Parse("")), expected);
    EXPECT_EQ(Didl(o, CdsFilter_Parse(nullptr)), expected);
    EXPECT_EQ(Didl(o, CdsFilter_Parse("dc:title,upnp:class")), expected);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, ResFilters)
{
    CdsObject* o = NewObject(0xA000, "0\\a", "0", "Song");
    o->flags = tv::kCdsFlagRestricted;
    CdsResource* res = AddResource(o, "http://h/a?x=1&y=2", "http-get:*:audio/mpeg:*");
    res->size = 4294967296LL;  // 4 GiB
    res->duration = 3725;
    const std::string tail =
        "\r\n&lt;dc:title&gt;Song&lt;/dc:title&gt;"
        "\r\n&lt;upnp:class&gt;object.item.audioItem&lt;/upnp:class&gt;";
    EXPECT_EQ(Didl(o, CdsFilter_Parse("res@size")),
              kItemHead + tail +
                  "\r\n&lt;res protocolInfo=&quot;http-get:*:audio/mpeg:*&quot; "
                  "size=&quot;4294967296&quot;&gt;http://h/a?x=1&amp;amp;y=2&lt;/res&gt;"
                  "\r\n&lt;/item&gt;");
    EXPECT_EQ(Didl(o, CdsFilter_Parse("res")),
              kItemHead + tail +
                  "\r\n&lt;res protocolInfo=&quot;http-get:*:audio/mpeg:*&quot;&gt;"
                  "http://h/a?x=1&amp;amp;y=2&lt;/res&gt;\r\n&lt;/item&gt;");
    // A resource without protocolInfo or URL keeps the empty attribute.
    tv::Free(res->protocol_info);
    res->protocol_info = nullptr;
    tv::Free(res->value);
    res->value = nullptr;
    EXPECT_NE(
        Didl(o, CdsFilter_Parse("res")).find("&lt;res protocolInfo=&quot;&quot;&gt;&lt;/res&gt;"),
        std::string::npos);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, FilterParsing)
{
    EXPECT_EQ(CdsFilter_Parse(""), 0u);
    EXPECT_EQ(CdsFilter_Parse(nullptr), 0u);
    EXPECT_EQ(CdsFilter_Parse("*"), 0xDFFFFFFFu);
    EXPECT_EQ(CdsFilter_Parse("*,ALLIP"), 0xFFFFFFFFu);
    EXPECT_EQ(CdsFilter_Parse("res@size,dc:creator"), 0x421u);
    EXPECT_EQ(CdsFilter_Parse("Res@Size , DC:CREATOR"), 0x421u);
    EXPECT_EQ(CdsFilter_Parse("upnp:artist,res@size"), 0x420u);
    EXPECT_EQ(CdsFilter_Parse("res@sizes"), 0x420u);  // prefix match
    EXPECT_EQ(CdsFilter_Parse("dc:title,upnp:class"), 0u);
    EXPECT_EQ(CdsFilter_Parse("res@size *"), 0x420u);  // "*" inside a token is skipped
    EXPECT_EQ(CdsFilter_Parse("@childCount,container@searchable,@dlna:dlnaManaged"), 0x01000006u);
    EXPECT_EQ(CdsFilter_Parse("res@bitrate,res@duration,res@resolution"), 0x1E0u);
    EXPECT_EQ(CdsFilter_Parse("res@dlna:ifoFileURI,res@importIfoFileUri,res@dlna:resumeUpload,"
                              "res@dlna:uploadedSize,res@dlna:trackTotal,res@importUri"),
              0x1F8020u);
    EXPECT_EQ(CdsFilter_Parse("upnp:album,upnp:genre,upnp:createClass,upnp:searchClass,dc:date"),
              0x18800018u);
    EXPECT_EQ(CdsFilter_Parse("1,2 ,;res"), 0x20u);  // digits and punctuation stay outside
    EXPECT_EQ(CdsFilter_Parse("\xC3\xA9res"), 0x20u);
    EXPECT_EQ(CdsFilter_Parse("r"), 0u);  // a keyword is never read past the end

    EXPECT_TRUE(CdsFilter_NeedsDlnaNamespace(0x01000000));
    EXPECT_TRUE(CdsFilter_NeedsDlnaNamespace(0x04000000));
    EXPECT_FALSE(CdsFilter_NeedsDlnaNamespace(0xDFFFFFFF & ~0x051D0000u));
}

TEST_F(CdsDidl, CapabilityList)
{
    char buffer[1024];
    EXPECT_EQ(CdsFilter_StringLength(0), 0);
    EXPECT_EQ(CdsFilter_ToString(buffer, 0), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(CdsFilter_ToString(buffer, 0x401), 28);
    EXPECT_STREQ(buffer, "dc:title,dc:creator,res@size");
    EXPECT_EQ(CdsFilter_ToString(buffer, CdsFilter_Parse("res@size,dc:creator")), 32);
    EXPECT_STREQ(buffer, "dc:title,dc:creator,res,res@size");
    EXPECT_EQ(CdsFilter_StringLength(0x421), 32);
    const std::string all =
        "dc:title,dc:creator,@childCount,@searchable,@dlna:dlnaManaged,upnp:createClass,"
        "upnp:searchClass,upnp:album,upnp:genre,res,res@bitrate,res@bitsPerSample,"
        "res@colorDepth,res@duration,res@protection,res@resolution,res@sampleFrequency,"
        "res@nrAudioChannels,res@size,res@importUri,res@dlna:ifoFileURI,res@importIfoFileUri,"
        "res@dlna:resumeUpload,res@dlna:uploadedSize,res@dlna:trackTotal";
    EXPECT_EQ(CdsFilter_StringLength(0xFFFFFFFF), static_cast<int>(all.size()));
    EXPECT_EQ(CdsFilter_ToString(buffer, 0xFFFFFFFF), static_cast<int>(all.size()));
    EXPECT_EQ(buffer, all);
    EXPECT_EQ(CdsFilter_ToString(buffer, 0x00800000), 0);  // dc:date has no capability name
}

TEST_F(CdsDidl, NumbersBitrateAndDurations)
{
    char buffer[32];
    EXPECT_EQ(CdsToDidl_FormatDuration(buffer, 3725), 11);
    EXPECT_STREQ(buffer, "1:02:05.000");
    CdsToDidl_FormatDuration(buffer, 0);
    EXPECT_STREQ(buffer, "0:00:00.000");
    CdsToDidl_FormatDuration(buffer, 2147483647);
    EXPECT_STREQ(buffer, "596523:14:07.000");
    std::strcpy(buffer, "keep");
    EXPECT_EQ(CdsToDidl_FormatDuration(buffer, -1), 0);
    EXPECT_STREQ(buffer, "keep");

    CdsObject* o = NewObject(0xA000, "0\\a", "0", "t");
    CdsResource* res = AddResource(o, "u", "p");
    res->bitrate = 1411200;
    res->duration = 0;
    std::string text = Didl(o, CdsFilter_Parse("res@bitrate,res@duration"));
    EXPECT_NE(text.find("&lt;res protocolInfo=&quot;p&quot; bitrate=&quot;176400&quot; "
                        "duration=&quot;0:00:00.000&quot;&gt;u&lt;/res&gt;"),
              std::string::npos);
    res->bitrate = 15;  // rounded toward zero
    EXPECT_NE(Didl(o, CdsFilter_Parse("res@bitrate")).find(" bitrate=&quot;1&quot;"),
              std::string::npos);
    CdsObject_Release(o);
}

// What is read from a file: milliseconds in res@duration, the tags, art and subtitle elements
// in "*" only, a tag date before the file's, nothing of it for an object without it.
TEST_F(CdsDidl, MediaDetailsAndMillisecondDurations)
{
    char buffer[32];
    EXPECT_EQ(CdsToDidl_FormatDurationMs(buffer, 3725042), 11);
    EXPECT_STREQ(buffer, "1:02:05.042");
    EXPECT_EQ(CdsToDidl_FormatDurationMs(buffer, -1), 0);

    CdsObject* o = NewObject(0xA000, "0\\a", "0", "t");
    o->date = 86400;
    CdsResource* res = AddResource(o, "u", "p");
    res->duration_ms = 3030;
    const std::string plain = Didl(o, tv::kCdsFilterAll);
    EXPECT_NE(plain.find(" duration=&quot;0:00:03.030&quot;"), std::string::npos);
    EXPECT_EQ(plain.find("upnp:artist"), std::string::npos);

    o->details = new CdsMediaDetails;
    o->details->artist = "A & B";
    o->details->date = "2021-05-03";
    o->details->track = 3;
    o->details->album_art_uri = "http://h/art";
    o->details->caption_uri = "http://h/a.srt";
    o->details->caption_type = "srt";
    const std::string all = Didl(o, tv::kCdsFilterAll);
    for (
        const char* part :
        {"&lt;upnp:artist&gt;A &amp;amp; B&lt;/upnp:artist&gt;",
         "&lt;dc:date&gt;2021-05-03&lt;/dc:date&gt;",
         "&lt;upnp:originalTrackNumber&gt;3&lt;/upnp:originalTrackNumber&gt;",
         "&lt;upnp:albumArtURI dlna:profileID=&quot;JPEG_TN&quot;&gt;http://h/art&lt;/upnp:albumArtURI&gt;",
         "&lt;/res&gt;\r\n&lt;sec:CaptionInfoEx sec:type=&quot;srt&quot;&gt;http://h/a.srt&lt;/sec:CaptionInfoEx&gt;"})
        EXPECT_NE(all.find(part), std::string::npos) << part << " in " << all;
    const std::string titles = Didl(o, CdsFilter_Parse("dc:title,dc:date"));
    EXPECT_NE(titles.find("2021-05-03"), std::string::npos);
    EXPECT_EQ(titles.find("upnp:artist"), std::string::npos);
    EXPECT_EQ(titles.find("CaptionInfoEx"), std::string::npos);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, ContainerAttributesAndDlnaManaged)
{
    CdsObject* o = NewObject(0x4000, "0", "-1", "Root");
    std::string plain = Didl(o, 0);
    EXPECT_EQ(plain,
              "\r\n&lt;container id=&quot;0&quot; parentID=&quot;-1&quot; "
              "restricted=&quot;0&quot;&gt;\r\n&lt;dc:title&gt;Root&lt;/dc:title&gt;"
              "\r\n&lt;upnp:class&gt;object.container&lt;/upnp:class&gt;\r\n&lt;/container&gt;");
    EXPECT_NE(Didl(o, CdsFilter_Parse("@childCount")).find(" childCount=&quot;0&quot;&gt;"),
              std::string::npos);
    o->flags = tv::kCdsFlagSearchable;
    EXPECT_NE(Didl(o, CdsFilter_Parse("@searchable")).find(" searchable=&quot;1&quot;&gt;"),
              std::string::npos);
    o->dlna_managed = 4;
    EXPECT_NE(
        Didl(o, CdsFilter_Parse("@dlna:dlnaManaged")).find(" dlna:dlnaManaged=&quot;4&quot;&gt;"),
        std::string::npos);
    o->dlna_managed = 26;
    EXPECT_NE(
        Didl(o, CdsFilter_Parse("@dlna:dlnaManaged")).find(" dlna:dlnaManaged=&quot;1a&quot;&gt;"),
        std::string::npos);
    o->tuner = 1;  // whatever the filter
    EXPECT_NE(Didl(o, 0).find("\r\n&lt;dlna:containerType&gt;Tuner_1_0&lt;/dlna:containerType&gt;"),
              std::string::npos);
    // With the root element: the dlna namespace only when the filter asks for dlna parts.
    std::string rooted = Didl(o, 0, 0, 1);
    EXPECT_EQ(rooted.rfind("&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
                           "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
                           "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot;&gt;\r\n",
                           0),
              0u);
    EXPECT_EQ(rooted.substr(rooted.size() - 20), "\r\n&lt;/DIDL-Lite&gt;");
    EXPECT_NE(Didl(o, 0x01000000, 0, 1)
                  .find("xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot;&gt;"),
              std::string::npos);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, InvalidClassesGiveTheirCodes)
{
    CdsObject* o = NewObject(0, "0\\a", "0", "t");
    EXPECT_EQ(ErrorOf(o, 0), -1);
    EXPECT_EQ(tv::CdsToDidl_MeasuredSize(o, 0, 0, 0), -1);
    o->media_class = 0xC000;
    EXPECT_EQ(ErrorOf(o, 0), -2);
    o->media_class = 0x8000 | (13u << 10);
    EXPECT_EQ(ErrorOf(o, 0), -3);
    o->media_class = 0x8000 | (15u << 6);
    EXPECT_EQ(ErrorOf(o, 0), -4);
    // A container's class list is checked only when it is written.
    o->media_class = 0x5400;
    tv::CdsObject_AppendClass(&o->create_classes, 1, 0);
    EXPECT_NE(Didl(o, 0), "<error>");
    EXPECT_EQ(ErrorOf(o, CdsFilter_Parse("upnp:createClass")), -1);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, SharedFolderWithStar)
{
    CdsObject* o = NewObject(0x5400, "0\\%2Fhome%2Fann%2FMusic\\", "0", "Music");
    o->dlna_managed = 3;
    for (CdsMediaClass c : {0xA000u, 0xA400u, 0xB000u, 0x4000u}) {
        tv::CdsObject_AppendClass(&o->create_classes, 1, c);
    }
    EXPECT_EQ(Didl(o, CdsFilter_Parse("*")),
              "\r\n&lt;container id=&quot;0\\%2Fhome%2Fann%2FMusic\\&quot; parentID=&quot;0&quot; "
              "restricted=&quot;0&quot; searchable=&quot;0&quot; childCount=&quot;0&quot; "
              "dlna:dlnaManaged=&quot;3&quot;&gt;"
              "\r\n&lt;dc:title&gt;Music&lt;/dc:title&gt;"
              "\r\n&lt;upnp:class&gt;object.container.storageFolder&lt;/upnp:class&gt;"
              "\r\n&lt;upnp:createClass "
              "includeDerived=&quot;1&quot;&gt;object.item.audioItem&lt;/upnp:createClass&gt;"
              "\r\n&lt;upnp:createClass "
              "includeDerived=&quot;1&quot;&gt;object.item.imageItem&lt;/upnp:createClass&gt;"
              "\r\n&lt;upnp:createClass "
              "includeDerived=&quot;1&quot;&gt;object.item.videoItem&lt;/upnp:createClass&gt;"
              "\r\n&lt;upnp:createClass "
              "includeDerived=&quot;1&quot;&gt;object.container&lt;/upnp:createClass&gt;"
              "\r\n&lt;/container&gt;");
    tv::CdsObject_AppendClass(&o->search_classes, 0, 0xA200);
    EXPECT_NE(
        Didl(o, CdsFilter_Parse("upnp:searchClass"))
            .find(
                "\r\n&lt;upnp:searchClass includeDerived=&quot;0&quot;&gt;"
                "object.item.audioItem.musicTrack&lt;/upnp:searchClass&gt;\r\n&lt;/container&gt;"),
        std::string::npos);
    CdsObject_Release(o);
}

TEST_F(CdsDidl, ItemWithEveryPart)
{
    static char kTakeOut1[] = "a&b";  // written unchanged
    static char kTakeOut2[] = "x";
    static char* kTakeOuts[] = {kTakeOut1, kTakeOut2};
    CdsObject* o = NewObject(0xA1C0, "0\\s", "0", "Radio");  // audioBroadcast
    o->flags = tv::kCdsFlagRestricted;
    o->owned_mask |= tv::kCdsOwnAlbums | tv::kCdsOwnGenres | tv::kCdsOwnChannelName;
    o->creator = Copy("Me");
    o->dlna_managed = 0x1F;
    o->take_out = kTakeOuts;
    o->take_out_count = 2;
    o->albums = static_cast<char**>(tv::Malloc(sizeof(char*)));
    o->albums[0] = Copy("Best");
    o->album_count = 1;
    o->genres = static_cast<char**>(tv::Malloc(2 * sizeof(char*)));
    o->genres[0] = Copy("Pop");
    o->genres[1] = Copy("R&B");
    o->genre_count = 2;
    o->date = 1230904985;  // 2009-01-02T14:03:05 UTC
    o->channel_name = Copy("One");
    o->channel_nr = 7;
    CdsResource* res = AddResource(o, "http://h/s", "http-get:*:audio/mpeg:*");
    res->resolution_x = 640;
    res->resolution_y = 480;
    res->duration = 61;
    res->bitrate = 800;
    res->color_depth = 24;
    res->size = 123;
    res->bits_per_sample = 16;
    res->sample_frequency = 44100;
    res->nr_audio_channels = 2;
    res->protection = Copy("p&q");  // not escaped
    res->track_total = 9;
    res->resume_upload = 1;
    res->uploaded_size = 5;
    res->import_uri = Copy("i&1");
    res->ifo_file_uri = Copy("f");
    res->import_ifo_file_uri = Copy("g");

    const std::string expected =
        "\r\n&lt;item id=&quot;0\\s&quot; parentID=&quot;0&quot; restricted=&quot;1&quot; "
        "dlna:dlnaManaged=&quot;1f&quot;&gt;"
        "\r\n&lt;dc:title&gt;Radio&lt;/dc:title&gt;"
        "\r\n&lt;upnp:class&gt;object.item.audioItem.audioBroadcast&lt;/upnp:class&gt;"
        "\r\n&lt;dlna:takeOut&gt;a&b&lt;/dlna:takeOut&gt;"
        "\r\n&lt;dlna:takeOut&gt;x&lt;/dlna:takeOut&gt;"
        "\r\n&lt;dc:creator&gt;Me&lt;/dc:creator&gt;"
        "\r\n&lt;upnp:album&gt;Best&lt;/upnp:album&gt;"
        "\r\n&lt;upnp:genre&gt;Pop&lt;/upnp:genre&gt;"
        "\r\n&lt;upnp:genre&gt;R&amp;amp;B&lt;/upnp:genre&gt;"
        "\r\n&lt;dc:date&gt;2009-01-02T14:03:05&lt;/dc:date&gt;"
        "\r\n&lt;upnp:channelName&gt;One&lt;/upnp:channelName&gt;"
        "\r\n&lt;upnp:channelNr&gt;7&lt;/upnp:channelNr&gt;"
        "\r\n&lt;res protocolInfo=&quot;http-get:*:audio/mpeg:*&quot; bitrate=&quot;100&quot; "
        "bitsPerSample=&quot;16&quot; colorDepth=&quot;24&quot; duration=&quot;0:01:01.000&quot; "
        "nrAudioChannels=&quot;2&quot; protection=&quot;p&q&quot; "
        "resolution=&quot;640x480&quot; sampleFrequency=&quot;44100&quot; size=&quot;123&quot; "
        "importUri=&quot;i&amp;amp;1&quot; importIfoFileUri=&quot;g&quot; "
        "dlna:ifoFileURI=&quot;f&quot; dlna:trackTotal=&quot;9&quot; "
        "dlna:resumeUpload=&quot;1&quot; dlna:uploadedSize=&quot;5&quot;&gt;http://h/s&lt;/res&gt;"
        "\r\n&lt;/item&gt;";
    EXPECT_EQ(Didl(o, CdsFilter_Parse("*")), expected);
    // ALLIP is no output part.
    EXPECT_EQ(Didl(o, CdsFilter_Parse("*,ALLIP")), expected);
    // Out-of-range values are left out.
    res->resume_upload = 2;
    res->resolution_y = 0;
    std::string partial = Didl(o, CdsFilter_Parse("*"));
    EXPECT_EQ(partial.find("resumeUpload"), std::string::npos);
    EXPECT_EQ(partial.find("resolution="), std::string::npos);
    CdsObject_Release(o);
}

// Randomly filled objects: the measured size always exceeds the written text, and the
// writing pass never overflows.
TEST_F(CdsDidl, MeasuredSizeCoversRandomObjects)
{
    std::mt19937 random(12345);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto text = [&]() -> char* {
        if (pick(4) == 0) return nullptr;
        std::string s;
        int length = pick(40);
        for (int i = 0; i < length; ++i) s += "ab&<>\"' x\xC3"[pick(11)];
        return Copy(s.c_str());
    };
    auto number = [&]() -> std::int32_t {
        switch (pick(4)) {
        case 0:
            return -1;
        case 1:
            return 2147483647;
        case 2:
            return -2147483647 - 1;
        default:
            return pick(100000);
        }
    };
    const CdsMediaClass classes[] = {0x4000, 0x5400, 0x8000, 0xA000, 0xA400, 0xB000,
                                     0xA200, 0x4440, 0xA640, 0xA1C0, 0xB300, 0xA800};
    for (int round = 0; round < 2000; ++round) {
        CdsObject* o = CdsObject_Allocate();
        o->media_class = classes[pick(12)];
        o->owned_mask = 0xFF;
        o->id = text();
        o->parent_id = text();
        o->title = text();
        o->creator = text();
        // Slots are filled as the builder fills them: only those of the object's class.
        const CdsMediaClass c = o->media_class;
        const std::uint32_t second = tv::CdsClassSecond(c);
        const std::uint32_t third = tv::CdsClassThird(c);
        if (tv::CdsIsItem(c)) o->ref_id = text();
        o->flags = static_cast<std::uint8_t>(pick(4));
        o->child_count = number();
        o->dlna_managed = static_cast<std::uint32_t>(number());
        o->tuner = pick(2);
        o->date = number();
        o->channel_nr = number();
        if (third == tv::kCdsAudioBroadcast || third == tv::kCdsVideoBroadcast)
            o->channel_name = text();
        auto texts = [&](std::uint8_t* count, char*** array) {
            *count = static_cast<std::uint8_t>(pick(3));
            if (*count == 0) return;
            *array = static_cast<char**>(tv::Malloc(*count * sizeof(char*)));
            for (int i = 0; i < *count; ++i) (*array)[i] = text();
        };
        if (second == tv::kCdsAudioItem) texts(&o->album_count, &o->albums);
        if (second == tv::kCdsAudioItem || second == tv::kCdsVideoItem)
            texts(&o->genre_count, &o->genres);
        if (third == tv::kCdsMusicAlbum) texts(&o->album_genre_count, &o->album_genres);
        if (third == tv::kCdsPhoto) texts(&o->photo_album_count, &o->photo_albums);
        if (tv::CdsIsContainer(c)) {
            for (int i = pick(3); i > 0; --i)
                tv::CdsObject_AppendClass(&o->create_classes, pick(2), classes[pick(12)]);
            for (int i = pick(3); i > 0; --i)
                tv::CdsObject_AppendClass(&o->search_classes, pick(2), classes[pick(12)]);
        }
        for (int i = pick(3); i > 0; --i) {
            CdsResource* res = CdsObject_AllocateResource();
            res->owned_mask = 0x3F;
            res->value = text();
            res->protocol_info = text();
            res->import_uri = text();
            res->ifo_file_uri = text();
            res->import_ifo_file_uri = text();
            res->protection = text();
            res->resolution_x = number();
            res->resolution_y = number();
            res->duration = number();
            res->bitrate = number();
            res->color_depth = number();
            res->size = pick(2) ? std::int64_t{number()} : INT64_MAX;
            res->bits_per_sample = number();
            res->sample_frequency = number();
            res->nr_audio_channels = number();
            res->track_total = number();
            res->resume_upload = pick(3);
            res->uploaded_size = number();
            tv::CdsObject_AppendResource(o, res);
        }
        const std::uint32_t filter =
            pick(3) == 0 ? 0xFFFFFFFF : static_cast<std::uint32_t>(random());
        const int single = pick(2);
        const int root = pick(2);
        tv::CdsDidlText didl = CdsToDidl_GetmediaObjectDidlEscaped(o, single, filter, root);
        ASSERT_NE(didl.text, nullptr) << "round " << round << " error " << didl.error;
        ASSERT_EQ(std::strlen(didl.text), static_cast<std::size_t>(didl.length));
        ASSERT_GT(tv::CdsToDidl_MeasuredSize(o, single, filter, root), didl.length);
        tv::Free(didl.text);
        CdsObject_Release(o);
    }
}
