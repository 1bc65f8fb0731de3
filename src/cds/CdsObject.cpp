// Content Directory object records: allocation, class names and the single release path.
// Built and serialized on one thread; only the holder count is shared, under the object lock.
#include "cds/CdsObject.h"

#include <array>
#include <cstring>

#include "runtime/Memory.h"

namespace {

constexpr std::array<std::string_view, 4> kBaseNames = {"", "object.container", "object.item", ""};
constexpr std::array<std::string_view, 13> kSecondNames = {"",
                                                           "album",
                                                           "genre",
                                                           "person",
                                                           "playlistContainer",
                                                           "storageFolder",
                                                           "storageSystem",
                                                           "storageVolume",
                                                           "audioItem",
                                                           "imageItem",
                                                           "playlistItem",
                                                           "textItem",
                                                           "videoItem"};
constexpr std::array<std::string_view, 13> kThirdNames = {"",
                                                          "musicAlbum",
                                                          "photoAlbum",
                                                          "movieGenre",
                                                          "musicGenre",
                                                          "musicArtist",
                                                          "audioBook",
                                                          "audioBroadcast",
                                                          "musicTrack",
                                                          "photo",
                                                          "movie",
                                                          "musicVideoClip",
                                                          "videoBroadcast"};
static_assert(kSecondNames.size() == 13 && kThirdNames.size() == 13);

void FreeText(std::uint8_t mask, std::uint8_t bit, char* text) noexcept
{
    if ((mask & bit) != 0 && text != nullptr) tv::Free(text);
}

void FreeTextArray(std::uint8_t mask, std::uint8_t bit, std::int32_t count, char** array) noexcept
{
    if ((mask & bit) == 0 || count <= 0 || array == nullptr) return;
    for (std::int32_t i = 0; i < count; ++i) {
        if (array[i] != nullptr) tv::Free(array[i]);
    }
    tv::Free(array);
}

void FreeClassList(CdsClassEntry* entry) noexcept
{
    while (entry != nullptr) {
        CdsClassEntry* next = entry->next;
        delete entry;
        entry = next;
    }
}

}  // namespace

namespace tv {

CdsClassCheck CdsMediaClassCheck(CdsMediaClass media_class) noexcept
{
    if (media_class == 0) return kCdsCheckClassZero;
    std::uint32_t base = CdsClassBase(media_class);
    if (base != kCdsBaseContainer && base != kCdsBaseItem) return kCdsCheckBadBase;
    if (CdsClassSecond(media_class) > 12) return kCdsCheckBadSecond;
    if (CdsClassThird(media_class) > 12) return kCdsCheckBadThird;
    return kCdsCheckNamed;
}

std::size_t CdsMediaClassNameLength(CdsMediaClass media_class) noexcept
{
    std::size_t length = kBaseNames[CdsClassBase(media_class)].size();
    std::uint32_t second = CdsClassSecond(media_class);
    std::uint32_t third = CdsClassThird(media_class);
    if (second != 0 && second <= 12) length += 1 + kSecondNames[second].size();
    if (third != 0 && third <= 12) length += 1 + kThirdNames[third].size();
    return length;
}

std::size_t CdsMediaClassWriteName(CdsMediaClass media_class, char* out) noexcept
{
    std::size_t length = 0;
    auto put = [&](std::string_view text) {
        std::memcpy(out + length, text.data(), text.size());
        length += text.size();
    };
    put(kBaseNames[CdsClassBase(media_class)]);
    std::uint32_t second = CdsClassSecond(media_class);
    std::uint32_t third = CdsClassThird(media_class);
    if (second != 0 && second <= 12) {
        put(".");
        put(kSecondNames[second]);
    }
    if (third != 0 && third <= 12) {
        put(".");
        put(kThirdNames[third]);
    }
    return length;
}

void CdsObject_AppendResource(CdsObject* object, CdsResource* resource) noexcept
{
    CdsResource** tail = &object->resources;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = resource;
}

void CdsObject_AppendClass(CdsClassEntry** list, std::int32_t include_derived,
                           CdsMediaClass media_class) noexcept
{
    CdsClassEntry** tail = list;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = new CdsClassEntry{include_derived, media_class, nullptr};
}

}  // namespace tv

CdsObject* CdsObject_Allocate() noexcept
{
    return new CdsObject{};
}

CdsResource* CdsObject_AllocateResource() noexcept
{
    return new CdsResource{};
}

void CdsObject_Release(CdsObject* object) noexcept
{
    if (object == nullptr) return;
    std::int32_t count;
    {
        std::scoped_lock hold(object->lock);
        count = --object->ref_count;
    }
    if (count < 0) CdsObject_Destroy(object);
}

void CdsObject_Destroy(CdsObject* object) noexcept
{
    if (object == nullptr) return;
    const std::uint8_t mask = object->owned_mask;
    FreeText(mask, tv::kCdsOwnCreator, object->creator);
    FreeText(mask, tv::kCdsOwnId, object->id);
    FreeText(mask, tv::kCdsOwnParentId, object->parent_id);
    FreeText(mask, tv::kCdsOwnTitle, object->title);

    const CdsMediaClass media_class = object->media_class;
    if (tv::CdsIsContainer(media_class)) {
        FreeClassList(object->create_classes);
        FreeClassList(object->search_classes);
    } else if (tv::CdsIsItem(media_class)) {
        FreeText(mask, tv::kCdsOwnRefId, object->ref_id);
    }
    switch (tv::CdsClassSecond(media_class)) {
    case tv::kCdsAudioItem:
        FreeTextArray(mask, tv::kCdsOwnAlbums, object->album_count, object->albums);
        FreeTextArray(mask, tv::kCdsOwnGenres, object->genre_count, object->genres);
        break;
    case tv::kCdsVideoItem:
        FreeTextArray(mask, tv::kCdsOwnGenres, object->genre_count, object->genres);
        break;
    default:
        break;
    }
    switch (tv::CdsClassThird(media_class)) {
    case tv::kCdsMusicAlbum:
        FreeTextArray(mask, tv::kCdsOwnGenres, object->album_genre_count, object->album_genres);
        break;
    case tv::kCdsPhoto:
        FreeTextArray(mask, tv::kCdsOwnAlbums, object->photo_album_count, object->photo_albums);
        break;
    case tv::kCdsAudioBroadcast:
    case tv::kCdsVideoBroadcast:
        FreeText(mask, tv::kCdsOwnChannelName, object->channel_name);
        break;
    default:
        break;
    }

    CdsResource* resource = object->resources;
    while (resource != nullptr) {
        CdsResource* next = resource->next;
        const std::uint8_t rmask = resource->owned_mask;
        FreeText(rmask, tv::kCdsResOwnValue, resource->value);
        FreeText(rmask, tv::kCdsResOwnProtocolInfo, resource->protocol_info);
        FreeText(rmask, tv::kCdsResOwnProtection, resource->protection);
        FreeText(rmask, tv::kCdsResOwnImportUri, resource->import_uri);
        FreeText(rmask, tv::kCdsResOwnIfoFileUri, resource->ifo_file_uri);
        FreeText(rmask, tv::kCdsResOwnImportIfoFileUri, resource->import_ifo_file_uri);
        delete resource;
        resource = next;
    }
    if (object->source_path != nullptr) tv::Free(object->source_path);
    delete object->details;
    delete object;  // the lock goes with the record
}
