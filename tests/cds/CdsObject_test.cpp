#include "cds/CdsObject.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Memory.h"

namespace {

std::string ClassName(CdsMediaClass code)
{
    std::string name(tv::CdsMediaClassNameLength(code), '\0');
    EXPECT_EQ(tv::CdsMediaClassWriteName(code, name.data()), name.size());
    return name;
}

char** TextArray(std::initializer_list<const char*> texts)
{
    char** array = static_cast<char**>(tv::Malloc(texts.size() * sizeof(char*)));
    std::size_t i = 0;
    for (const char* text : texts) array[i++] = tv::CopyBytes(text, std::strlen(text));
    return array;
}

}  // namespace

TEST(CdsObject, ClassCodesNameTheirLevels)
{
    EXPECT_EQ(ClassName(0x4000), "object.container");
    EXPECT_EQ(ClassName(0x5400), "object.container.storageFolder");
    EXPECT_EQ(ClassName(0x5000), "object.container.playlistContainer");
    EXPECT_EQ(ClassName(0x8000), "object.item");
    EXPECT_EQ(ClassName(0xA000), "object.item.audioItem");
    EXPECT_EQ(ClassName(0xA400), "object.item.imageItem");
    EXPECT_EQ(ClassName(0xA800), "object.item.playlistItem");
    EXPECT_EQ(ClassName(0xB000), "object.item.videoItem");
    EXPECT_EQ(ClassName(0xA200), "object.item.audioItem.musicTrack");
    EXPECT_EQ(ClassName(0x4440), "object.container.album.musicAlbum");
    EXPECT_EQ(ClassName(0xA640), "object.item.imageItem.photo");
    EXPECT_EQ(ClassName(0xA1C0), "object.item.audioItem.audioBroadcast");
    EXPECT_EQ(ClassName(0xB300), "object.item.videoItem.videoBroadcast");
    // Flat tables: a third level under an unrelated second level is still named.
    EXPECT_EQ(ClassName(0x8240), "object.item.photo");
    EXPECT_TRUE(tv::CdsIsContainer(0x5400));
    EXPECT_TRUE(tv::CdsIsItem(0xA000));
    EXPECT_EQ(tv::CdsClassMake(2, 8, 8), 0xA200u);
}

TEST(CdsObject, ClassCheckCodes)
{
    EXPECT_EQ(tv::CdsMediaClassCheck(0), -1);
    EXPECT_EQ(tv::CdsMediaClassCheck(0x0400), -2);  // base 0 with a second level
    EXPECT_EQ(tv::CdsMediaClassCheck(0xC000), -2);  // base 3
    EXPECT_EQ(tv::CdsMediaClassCheck(0x8000 | (13u << 10)), -3);
    EXPECT_EQ(tv::CdsMediaClassCheck(0x8000 | (13u << 6)), -4);
    EXPECT_EQ(tv::CdsMediaClassCheck(0xB300), 0);
    EXPECT_EQ(tv::CdsMediaClassCheck(0x8000 | 12u << 10 | 12u << 6), 0);
}

TEST(CdsObject, FreshRecordsAreZeroOrAbsent)
{
    CdsObject* object = CdsObject_Allocate();
    EXPECT_EQ(object->media_class, 0u);
    EXPECT_EQ(object->flags, 0);
    EXPECT_EQ(object->ref_count, 0);
    EXPECT_EQ(object->owned_mask, 0);
    EXPECT_EQ(object->resources, nullptr);
    EXPECT_EQ(object->title, nullptr);

    CdsResource* res = CdsObject_AllocateResource();
    EXPECT_EQ(res->owned_mask, 0);
    EXPECT_EQ(res->value, nullptr);
    EXPECT_EQ(res->protocol_info, nullptr);
    EXPECT_EQ(res->next, nullptr);
    EXPECT_EQ(res->resume_upload, 0);
    for (std::int64_t v :
         {std::int64_t{res->resolution_x}, std::int64_t{res->resolution_y},
          std::int64_t{res->duration}, std::int64_t{res->bitrate}, std::int64_t{res->color_depth},
          res->size, std::int64_t{res->bits_per_sample}, std::int64_t{res->sample_frequency},
          std::int64_t{res->nr_audio_channels}, std::int64_t{res->track_total},
          std::int64_t{res->uploaded_size}}) {
        EXPECT_EQ(v, -1);
    }
    // Sizes of 4 GiB and more fit.
    res->size = 4294967296LL;
    EXPECT_EQ(res->size, 4294967296LL);
    tv::CdsObject_AppendResource(object, res);
    CdsObject_Release(object);
}

TEST(CdsObject, ReleaseDestroysOwnedTextsOnly)
{
    // LeakSanitizer reports any owned text left behind; the constant texts must survive.
    static char constant_title[] = "kept";
    static char constant_ref[] = "ref";
    CdsObject* object = CdsObject_Allocate();
    object->media_class = 0xA000;  // audioItem
    object->owned_mask = tv::kCdsOwnId | tv::kCdsOwnParentId | tv::kCdsOwnCreator |
                         tv::kCdsOwnAlbums | tv::kCdsOwnGenres;
    object->id = tv::CopyBytes("0\\a", 3);
    object->parent_id = tv::CopyBytes("0", 1);
    object->title = constant_title;
    object->creator = tv::CopyBytes("me", 2);
    object->ref_id = constant_ref;  // bit 0x04 clear
    object->albums = TextArray({"one", "two"});
    object->album_count = 2;
    object->genres = TextArray({"rock"});
    object->genre_count = 1;
    object->source_path = tv::CopyBytes("/x", 2);
    for (int i = 0; i < 3; ++i) {
        CdsResource* res = CdsObject_AllocateResource();
        res->owned_mask = tv::kCdsResOwnValue | tv::kCdsResOwnProtocolInfo;
        res->value = tv::CopyBytes("http://h/x", 10);
        res->protocol_info = tv::CopyBytes("http-get:*:audio/mpeg:*", 23);
        res->protection = constant_title;  // not owned
        tv::CdsObject_AppendResource(object, res);
    }
    CdsObject_Release(object);
    EXPECT_STREQ(constant_title, "kept");
    EXPECT_STREQ(constant_ref, "ref");
    CdsObject_Release(nullptr);
}

TEST(CdsObject, ClassDecidesWhichSlotsAreFreed)
{
    // A container's child count is never freed as text; its class lists are.
    CdsObject* container = CdsObject_Allocate();
    container->media_class = 0x5400;
    container->owned_mask = tv::kCdsOwnRefId;
    container->child_count = 12;
    tv::CdsObject_AppendClass(&container->create_classes, 1, 0xA000);
    tv::CdsObject_AppendClass(&container->create_classes, 1, 0xB000);
    tv::CdsObject_AppendClass(&container->search_classes, 0, 0x8000);
    ASSERT_NE(container->create_classes->next, nullptr);
    EXPECT_EQ(container->create_classes->next->media_class, 0xB000u);
    CdsObject_Destroy(container);

    // Items: ref_id freed with bit 0x04; third-level slots by the third level.
    CdsObject* photo = CdsObject_Allocate();
    photo->media_class = 0xA640;
    photo->owned_mask = tv::kCdsOwnRefId | tv::kCdsOwnAlbums;
    photo->ref_id = tv::CopyBytes("r", 1);
    photo->photo_albums = TextArray({"holiday"});
    photo->photo_album_count = 1;
    CdsObject_Release(photo);

    CdsObject* broadcast = CdsObject_Allocate();
    broadcast->media_class = 0xB300;
    broadcast->owned_mask = tv::kCdsOwnChannelName | tv::kCdsOwnGenres;
    broadcast->channel_name = tv::CopyBytes("one", 3);
    broadcast->genres = TextArray({"news", "sport"});
    broadcast->genre_count = 2;
    CdsObject_Release(broadcast);

    CdsObject* album = CdsObject_Allocate();
    album->media_class = 0x4440;
    album->owned_mask = tv::kCdsOwnGenres;
    album->album_genres = TextArray({"jazz"});
    album->album_genre_count = 1;
    CdsObject_Release(album);
}

TEST(CdsObject, ExtraHoldsDelayDestructionAcrossThreads)
{
    CdsObject* object = CdsObject_Allocate();
    object->media_class = 0x8000;
    object->owned_mask = tv::kCdsOwnTitle;
    object->title = tv::CopyBytes("t", 1);
    constexpr int kHolders = 8;
    object->ref_count = kHolders - 1;  // eight holders in all
    std::vector<std::thread> threads;
    for (int i = 0; i < kHolders; ++i)
        threads.emplace_back([object] { CdsObject_Release(object); });
    for (std::thread& t : threads) t.join();
    // The last release destroyed it exactly once (ASan reports a double free or a leak).
}
