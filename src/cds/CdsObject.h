// Content Directory objects: one container or item with its resources, held between the
// content source that builds it and the DIDL-Lite serializer that writes it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Packed UPnP class: bits 14-15 base, 10-13 second level, 6-9 third level, 0-5 fourth level.
using CdsMediaClass = std::uint32_t;

struct CdsClassEntry {
    std::int32_t include_derived = 0;
    CdsMediaClass media_class = 0;
    CdsClassEntry* next = nullptr;
};

// Integers are -1 when absent, except resume_upload (0 by default).
struct CdsResource {
    std::uint8_t owned_mask = 0;
    char* value = nullptr;
    char* protocol_info = nullptr;
    char* import_uri = nullptr;
    char* ifo_file_uri = nullptr;
    char* import_ifo_file_uri = nullptr;
    std::int32_t resolution_x = -1;
    std::int32_t resolution_y = -1;
    std::int32_t duration = -1;
    std::int32_t bitrate = -1;
    std::int32_t color_depth = -1;
    std::int64_t size = -1;  // 64-bit: files of 4 GiB and more list their true size
    std::int32_t bits_per_sample = -1;
    std::int32_t sample_frequency = -1;
    std::int32_t nr_audio_channels = -1;
    char* protection = nullptr;
    std::int32_t track_total = -1;
    std::int32_t resume_upload = 0;
    std::int32_t uploaded_size = -1;
    CdsResource* next = nullptr;
    // Read from inside the file: written with milliseconds, before `duration` (whole seconds).
    std::int64_t duration_ms = -1;
};

// What is read from inside an item's file (today's media information): empty or -1 when
// unknown. Nothing of it is written for an object without it.
struct CdsMediaDetails {
    std::string artist;         // upnp:artist (dc:creator is the object's creator)
    std::string date;           // dc:date as ISO 8601, before the object's own date
    std::int32_t track = -1;    // upnp:originalTrackNumber
    std::string album_art_uri;  // upnp:albumArtURI, a JPEG_TN
    std::string caption_uri;    // sec:CaptionInfoEx, an SRT file
    std::string caption_type;   // its sec:type
};

// Owned texts are malloc memory (tv::Malloc / tv::CopyBytes); string arrays are malloc
// arrays of malloc strings. Slots that the class decides the meaning of are kept as separate
// fields; only the fields that belong to the object's class are read or freed.
struct CdsObject {
    std::uint8_t owned_mask = 0;
    char* id = nullptr;
    char* parent_id = nullptr;
    char* title = nullptr;
    char* creator = nullptr;
    CdsMediaClass media_class = 0;
    std::uint8_t flags = 0;
    std::int32_t ref_count = 0;
    std::mutex lock;  // guards ref_count only
    std::uint32_t dlna_managed = 0;
    char** take_out = nullptr;  // never owned
    std::int32_t take_out_count = 0;

    // Containers.
    std::int32_t child_count = 0;
    std::int32_t tuner = 0;
    CdsClassEntry* create_classes = nullptr;
    CdsClassEntry* search_classes = nullptr;

    // Items.
    char* ref_id = nullptr;
    std::int32_t date = 0;
    std::uint8_t genre_count = 0;
    char** genres = nullptr;
    std::uint8_t album_count = 0;
    char** albums = nullptr;

    // Third-level slots.
    std::uint8_t album_genre_count = 0;  // musicAlbum
    char** album_genres = nullptr;
    std::uint8_t photo_album_count = 0;  // photo
    char** photo_albums = nullptr;
    char* channel_name = nullptr;  // audioBroadcast, videoBroadcast
    std::int32_t channel_nr = 0;

    CdsResource* resources = nullptr;
    char* source_path = nullptr;         // always owned
    CdsMediaDetails* details = nullptr;  // always owned
};

namespace tv {

// CdsObject::owned_mask bits.
constexpr std::uint8_t kCdsOwnId = 0x01;
constexpr std::uint8_t kCdsOwnParentId = 0x02;
constexpr std::uint8_t kCdsOwnRefId = 0x04;
constexpr std::uint8_t kCdsOwnTitle = 0x08;
constexpr std::uint8_t kCdsOwnCreator = 0x10;
constexpr std::uint8_t kCdsOwnAlbums = 0x20;
constexpr std::uint8_t kCdsOwnGenres = 0x40;
constexpr std::uint8_t kCdsOwnChannelName = 0x80;

// CdsResource::owned_mask bits.
constexpr std::uint8_t kCdsResOwnValue = 0x01;
constexpr std::uint8_t kCdsResOwnProtocolInfo = 0x02;
constexpr std::uint8_t kCdsResOwnProtection = 0x04;
constexpr std::uint8_t kCdsResOwnImportUri = 0x08;
constexpr std::uint8_t kCdsResOwnIfoFileUri = 0x10;
constexpr std::uint8_t kCdsResOwnImportIfoFileUri = 0x20;

// CdsObject::flags bits.
constexpr std::uint8_t kCdsFlagRestricted = 0x01;
constexpr std::uint8_t kCdsFlagSearchable = 0x02;

// Level indices.
constexpr std::uint32_t kCdsBaseContainer = 1;
constexpr std::uint32_t kCdsBaseItem = 2;
enum CdsSecondLevel : std::uint32_t {
    kCdsAlbum = 1,
    kCdsGenre,
    kCdsPerson,
    kCdsPlaylistContainer,
    kCdsStorageFolder,
    kCdsStorageSystem,
    kCdsStorageVolume,
    kCdsAudioItem,
    kCdsImageItem,
    kCdsPlaylistItem,
    kCdsTextItem,
    kCdsVideoItem
};
enum CdsThirdLevel : std::uint32_t {
    kCdsMusicAlbum = 1,
    kCdsPhotoAlbum,
    kCdsMovieGenre,
    kCdsMusicGenre,
    kCdsMusicArtist,
    kCdsAudioBook,
    kCdsAudioBroadcast,
    kCdsMusicTrack,
    kCdsPhoto,
    kCdsMovie,
    kCdsMusicVideoClip,
    kCdsVideoBroadcast
};

// The codes the content source produces.
constexpr CdsMediaClass kCdsClassContainer = 0x4000;
constexpr CdsMediaClass kCdsClassStorageFolder = 0x5400;
constexpr CdsMediaClass kCdsClassPlaylistContainer = 0x5000;
constexpr CdsMediaClass kCdsClassItem = 0x8000;
constexpr CdsMediaClass kCdsClassAudioItem = 0xA000;
constexpr CdsMediaClass kCdsClassImageItem = 0xA400;
constexpr CdsMediaClass kCdsClassPlaylistItem = 0xA800;
constexpr CdsMediaClass kCdsClassVideoItem = 0xB000;

constexpr std::uint32_t CdsClassBase(CdsMediaClass c)
{
    return (c >> 14) & 0x3;
}
constexpr std::uint32_t CdsClassSecond(CdsMediaClass c)
{
    return (c >> 10) & 0xF;
}
constexpr std::uint32_t CdsClassThird(CdsMediaClass c)
{
    return (c >> 6) & 0xF;
}
constexpr std::uint32_t CdsClassFourth(CdsMediaClass c)
{
    return c & 0x3F;
}
constexpr CdsMediaClass CdsClassMake(std::uint32_t base, std::uint32_t second = 0,
                                     std::uint32_t third = 0)
{
    return (base << 14) | (second << 10) | (third << 6);
}
constexpr bool CdsIsContainer(CdsMediaClass c)
{
    return CdsClassBase(c) == kCdsBaseContainer;
}
constexpr bool CdsIsItem(CdsMediaClass c)
{
    return CdsClassBase(c) == kCdsBaseItem;
}

// Whether a class code has a name. The fourth level has no names and is ignored.
enum CdsClassCheck : int {
    kCdsCheckNamed = 0,
    kCdsCheckClassZero = -1,
    kCdsCheckBadBase = -2,
    kCdsCheckBadSecond = -3,  // above 12
    kCdsCheckBadThird = -4,   // above 12
};
CdsClassCheck CdsMediaClassCheck(CdsMediaClass media_class) noexcept;

// Length of the class name, and the name written to `out` (no NUL). Only for checked codes.
std::size_t CdsMediaClassNameLength(CdsMediaClass media_class) noexcept;
std::size_t CdsMediaClassWriteName(CdsMediaClass media_class, char* out) noexcept;

// Building helpers: nodes appended at the tail, owned by the object from then on.
void CdsObject_AppendResource(CdsObject* object, CdsResource* resource) noexcept;
void CdsObject_AppendClass(CdsClassEntry** list, std::int32_t include_derived,
                           CdsMediaClass media_class) noexcept;

}  // namespace tv

// A new object: every field zero or null, one holder (ref_count 0), a fresh lock.
[[nodiscard]] CdsObject* CdsObject_Allocate() noexcept;

// A new resource: texts, owned_mask, resume_upload and next zero; other integers -1.
[[nodiscard]] CdsResource* CdsObject_AllocateResource() noexcept;

// Drops one hold; the last one destroys the object. Null is ignored. Any thread.
void CdsObject_Release(CdsObject* object) noexcept;

// Frees what the object owns (by its ownership bits and class), its resources and the record.
void CdsObject_Destroy(CdsObject* object) noexcept;
