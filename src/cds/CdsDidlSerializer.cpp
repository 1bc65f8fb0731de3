// DIDL-Lite writer for single objects and the Filter vocabulary. Two passes over the object:
// the first decides what appears and bounds the size, the second writes into one buffer.
// Both passes run the same emitting code, so the bound cannot miss a part.
#include "cds/CdsDidlSerializer.h"

#include <array>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "runtime/Memory.h"
#include "runtime/OlvParsers.h"

namespace {

// Room reserved for a number whose text is only known while writing.
constexpr std::size_t kIntAllowance = 12;
constexpr std::size_t kInt64Allowance = 21;
constexpr std::size_t kDurationAllowance = 17;
constexpr std::size_t kDateAllowance = 20;
constexpr std::size_t kDurationMsAllowance = 31;
constexpr std::size_t kResolutionAllowance = 23;

bool IsAsciiLetter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct Keyword {
    std::string_view name;
    std::uint32_t bits;
};

// First keyword that the text starts with, ignoring case; 0 when none.
std::uint32_t MatchKeyword(const char* text, const Keyword* keywords, std::size_t count)
{
    for (std::size_t k = 0; k < count; ++k) {
        std::string_view name = keywords[k].name;
        std::size_t i = 0;
        // A NUL in the text never equals a keyword byte, so the scan stops at the end.
        while (i < name.size() && tv::ToLowerAscii(text[i]) == tv::ToLowerAscii(name[i])) {
            ++i;
        }
        if (i == name.size()) return keywords[k].bits;
    }
    return 0;
}

constexpr Keyword kAtKeywords[] = {
    {"@childCount", 0x02}, {"@searchable", 0x04}, {"@dlna:dlnaManaged", 0x01000000}};
constexpr Keyword kAKeywords[] = {{"ALLIP", 0x20000000}};
constexpr Keyword kCKeywords[] = {{"container@childCount", 0x02}, {"container@searchable", 0x04}};
constexpr Keyword kDKeywords[] = {{"dc:creator", 0x01}, {"dc:date", 0x00800000}};
constexpr Keyword kRKeywords[] = {{"res@bitrate", 0x120},
                                  {"res@bitsPerSample", 0x820},
                                  {"res@colorDepth", 0x220},
                                  {"res@duration", 0xA0},
                                  {"res@nrAudioChannels", 0x2020},
                                  {"res@protection", 0x4020},
                                  {"res@resolution", 0x60},
                                  {"res@sampleFrequency", 0x1020},
                                  {"res@size", 0x420},
                                  {"res@importUri", 0x8020},
                                  {"res@dlna:ifoFileURI", 0x10020},
                                  {"res@importIfoFileUri", 0x20020},
                                  {"res@dlna:resumeUpload", 0x40020},
                                  {"res@dlna:uploadedSize", 0x80020},
                                  {"res@dlna:trackTotal", 0x100020},
                                  {"res", 0x20}};
constexpr Keyword kUKeywords[] = {{"upnp:album", 0x08},
                                  {"upnp:genre", 0x10},
                                  {"upnp:createClass", 0x08000000},
                                  {"upnp:searchClass", 0x10000000}};

template <std::size_t N>
std::uint32_t Match(const char* text, const Keyword (&keywords)[N])
{
    return MatchKeyword(text, keywords, N);
}

constexpr Keyword kCapabilityNames[] = {
    {"dc:title,dc:creator", 0x01},
    {"@childCount", 0x02},
    {"@searchable", 0x04},
    {"@dlna:dlnaManaged", 0x01000000},
    {"upnp:createClass", 0x08000000},
    {"upnp:searchClass", 0x10000000},
    {"upnp:album", 0x08},
    {"upnp:genre", 0x10},
    {"res", 0x20},
    {"res@bitrate", 0x100},
    {"res@bitsPerSample", 0x800},
    {"res@colorDepth", 0x200},
    {"res@duration", 0x80},
    {"res@protection", 0x4000},
    {"res@resolution", 0x40},
    {"res@sampleFrequency", 0x1000},
    {"res@nrAudioChannels", 0x2000},
    {"res@size", 0x400},
    {"res@importUri", 0x8000},
    {"res@dlna:ifoFileURI", 0x10000},
    {"res@importIfoFileUri", 0x20000},
    {"res@dlna:resumeUpload", 0x40000},
    {"res@dlna:uploadedSize", 0x80000},
    {"res@dlna:trackTotal", 0x100000},
};

int DoubleEscapeLengthOf(unsigned char c)
{
    switch (c) {
    case '"':
    case '\'':
        return 10;
    case '&':
        return 9;
    case '<':
    case '>':
        return 8;
    default:
        return 1;
    }
}

// One emitting pass. Without a buffer it measures: fixed texts and escaped values by their
// exact length, numbers by their allowance. With a buffer it writes, never past `capacity`
// and always leaving room for the terminator.
class DidlOut {
public:
    DidlOut(char* buffer, std::size_t capacity, bool single_escape)
        : buffer_(buffer), capacity_(capacity), single_(single_escape)
    {
    }

    void Text(std::string_view text)
    {
        if (!Room(text.size())) return;
        if (buffer_ != nullptr) std::memcpy(buffer_ + length_, text.data(), text.size());
        length_ += text.size();
    }

    // A value escaped at the selected depth; null writes nothing.
    void Value(const char* value)
    {
        if (value == nullptr) return;
        std::size_t escaped = static_cast<std::size_t>(
            single_ ? OlvXmlEscapeLength(value) : CdsToDidl_DoubleEscapeLength(value));
        if (buffer_ == nullptr) {
            length_ += escaped;
            return;
        }
        // Both escapes also write a terminator.
        if (!Room(escaped + 1)) return;
        if (single_) {
            OlvXmlEscape(buffer_ + length_, value);
        } else {
            CdsToDidl_DoubleEscape(buffer_ + length_, value);
        }
        length_ += escaped;
    }

    // A value written as it is (takeOut, protection).
    void Raw(const char* value)
    {
        if (value != nullptr) Text(value);
    }

    // A formatted number: measured by its allowance.
    void Number(std::size_t allowance, const char* format, ...)
        __attribute__((format(printf, 3, 4)))
    {
        if (buffer_ == nullptr) {
            length_ += allowance;
            return;
        }
        char text[64];
        va_list args;
        va_start(args, format);
        int n = std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (n > 0) Text(std::string_view(text, static_cast<std::size_t>(n)));
    }

    void Duration(int seconds)
    {
        if (buffer_ == nullptr) {
            length_ += kDurationAllowance;
            return;
        }
        char text[32];
        int n = CdsToDidl_FormatDuration(text, seconds);
        Text(std::string_view(text, static_cast<std::size_t>(n)));
    }

    void DurationMs(std::int64_t milliseconds)
    {
        if (buffer_ == nullptr) {
            length_ += kDurationMsAllowance;
            return;
        }
        char text[32];
        int n = CdsToDidl_FormatDurationMs(text, milliseconds);
        Text(std::string_view(text, static_cast<std::size_t>(n)));
    }

    void Date(std::int32_t date)
    {
        if (buffer_ == nullptr) {
            length_ += kDateAllowance;
            return;
        }
        char* text = OlvTimeToText(date);
        if (text == nullptr) return;
        Text(text);
        tv::Free(text);
    }

    void ClassName(CdsMediaClass media_class)
    {
        std::size_t n = tv::CdsMediaClassNameLength(media_class);
        if (!Room(n)) return;
        if (buffer_ != nullptr) tv::CdsMediaClassWriteName(media_class, buffer_ + length_);
        length_ += n;
    }

    std::size_t Length() const { return length_; }
    bool Overflow() const { return overflow_; }

private:
    bool Room(std::size_t n)
    {
        if (buffer_ == nullptr) return true;
        if (overflow_ || length_ + n >= capacity_) {
            overflow_ = true;
            return false;
        }
        return true;
    }

    char* buffer_;
    std::size_t capacity_;
    bool single_;
    std::size_t length_ = 0;
    bool overflow_ = false;
};

bool HasTexts(std::int32_t count, char** array)
{
    return count > 0 && array != nullptr;
}

std::uint32_t ResourceBits(const CdsResource* res)
{
    std::uint32_t bits = 0;
    if (res->bitrate >= 0) bits |= tv::kCdsFilterResBitrate;
    if (res->bits_per_sample >= 0) bits |= tv::kCdsFilterResBitsPerSample;
    if (res->color_depth >= 0) bits |= tv::kCdsFilterResColorDepth;
    if (res->duration >= 0 || res->duration_ms >= 0) bits |= tv::kCdsFilterResDuration;
    if (res->nr_audio_channels >= 0) bits |= tv::kCdsFilterResNrAudioChannels;
    if (res->protection != nullptr) bits |= tv::kCdsFilterResProtection;
    if (res->resolution_x >= 0 && res->resolution_y > 0) bits |= tv::kCdsFilterResResolution;
    if (res->sample_frequency >= 0) bits |= tv::kCdsFilterResSampleFrequency;
    if (res->size >= 0) bits |= tv::kCdsFilterResSize;
    if (res->import_uri != nullptr) bits |= tv::kCdsFilterResImportUri;
    if (res->import_ifo_file_uri != nullptr) bits |= tv::kCdsFilterResImportIfoFileUri;
    if (res->ifo_file_uri != nullptr) bits |= tv::kCdsFilterResIfoFileUri;
    if (res->track_total >= 0) bits |= tv::kCdsFilterResTrackTotal;
    if (res->resume_upload == 0 || res->resume_upload == 1) bits |= tv::kCdsFilterResResumeUpload;
    if (res->uploaded_size >= 0) bits |= tv::kCdsFilterResUploadedSize;
    return bits;
}

// The parts that will appear: in the filter and backed by data.
std::uint32_t EffectiveMask(const CdsObject* o, std::uint32_t filter)
{
    using namespace tv;
    std::uint32_t effective = 0;
    const bool container = CdsIsContainer(o->media_class);
    const std::uint32_t second = CdsClassSecond(o->media_class);
    const std::uint32_t third = CdsClassThird(o->media_class);
    if (o->creator != nullptr) effective |= kCdsFilterCreator;
    if (container && o->create_classes != nullptr) effective |= kCdsFilterCreateClass;
    if (container && o->search_classes != nullptr) effective |= kCdsFilterSearchClass;
    if (o->dlna_managed != 0) effective |= kCdsFilterDlnaManaged;
    if (o->take_out_count > 0 && o->take_out != nullptr) effective |= kCdsFilterTakeOut;
    if (second == kCdsAudioItem) {
        if (HasTexts(o->album_count, o->albums)) effective |= kCdsFilterAlbum;
        if (HasTexts(o->genre_count, o->genres)) effective |= kCdsFilterGenre;
        if (o->date != 0) effective |= kCdsFilterDate;
    } else if (second == kCdsImageItem) {
        if (o->date != 0) effective |= kCdsFilterDate;
    } else if (second == kCdsVideoItem) {
        if (HasTexts(o->genre_count, o->genres)) effective |= kCdsFilterGenre;
        if (o->date != 0) effective |= kCdsFilterDate;
    }
    if (third == kCdsMusicAlbum && HasTexts(o->album_genre_count, o->album_genres)) {
        effective |= kCdsFilterGenre;
    } else if (third == kCdsPhoto && HasTexts(o->photo_album_count, o->photo_albums)) {
        effective |= kCdsFilterAlbum;
    } else if (third == kCdsAudioBroadcast || third == kCdsVideoBroadcast) {
        if (o->channel_name != nullptr) effective |= kCdsFilterChannelName;
        if (o->channel_nr >= 0) effective |= kCdsFilterChannelNr;
    }
    if (o->details != nullptr) {
        effective |= kCdsFilterMediaDetails;
        if (!o->details->date.empty() && CdsIsItem(o->media_class)) effective |= kCdsFilterDate;
    }
    effective |= kCdsFilterRes | kCdsFilterChildCount | kCdsFilterSearchable;
    for (const CdsResource* res = o->resources; res != nullptr; res = res->next) {
        effective |= ResourceBits(res);
    }
    effective &= filter;
    effective &= ~kCdsFilterContainerType;
    if (container && o->tuner != 0) effective |= kCdsFilterContainerType;
    return effective;
}

tv::CdsClassCheck CheckClasses(const CdsClassEntry* entry)
{
    for (; entry != nullptr; entry = entry->next) {
        tv::CdsClassCheck check = tv::CdsMediaClassCheck(entry->media_class);
        if (check != tv::kCdsCheckNamed) return check;
    }
    return tv::kCdsCheckNamed;
}

void EmitTexts(DidlOut& out, std::string_view open, std::int32_t count, char** values,
               std::string_view close)
{
    for (std::int32_t i = 0; i < count; ++i) {
        out.Text(open);
        out.Value(values[i]);
        out.Text(close);
    }
}

void EmitClasses(DidlOut& out, const CdsClassEntry* entry, std::string_view open_start,
                 std::string_view close)
{
    for (; entry != nullptr; entry = entry->next) {
        out.Text(open_start);
        out.Text(entry->include_derived != 0 ? "1" : "0");
        out.Text("&quot;&gt;");
        out.ClassName(entry->media_class);
        out.Text(close);
    }
}

// An attribute from its opening text (" name=&quot;") to its closing quote, with a number.
void IntAttribute(DidlOut& out, std::string_view open, int value)
{
    out.Text(open);
    out.Number(kIntAllowance, "%d", value);
    out.Text("&quot;");
}

// The same with a text value, escaped.
void TextAttribute(DidlOut& out, std::string_view open, const char* value)
{
    out.Text(open);
    out.Value(value);
    out.Text("&quot;");
}

void EmitResource(DidlOut& out, const CdsResource* res, std::uint32_t eff)
{
    using namespace tv;
    out.Text("\r\n&lt;res protocolInfo=&quot;");
    out.Value(res->protocol_info);
    out.Text("&quot;");
    if ((eff & kCdsFilterResBitrate) && res->bitrate >= 0)
        IntAttribute(out, " bitrate=&quot;", res->bitrate / 8);
    if ((eff & kCdsFilterResBitsPerSample) && res->bits_per_sample >= 0)
        IntAttribute(out, " bitsPerSample=&quot;", res->bits_per_sample);
    if ((eff & kCdsFilterResColorDepth) && res->color_depth >= 0)
        IntAttribute(out, " colorDepth=&quot;", res->color_depth);
    if ((eff & kCdsFilterResDuration) && res->duration_ms >= 0) {
        out.Text(" duration=&quot;");
        out.DurationMs(res->duration_ms);
        out.Text("&quot;");
    } else if ((eff & kCdsFilterResDuration) && res->duration >= 0) {
        out.Text(" duration=&quot;");
        out.Duration(res->duration);
        out.Text("&quot;");
    }
    if ((eff & kCdsFilterResNrAudioChannels) && res->nr_audio_channels >= 0)
        IntAttribute(out, " nrAudioChannels=&quot;", res->nr_audio_channels);
    if ((eff & kCdsFilterResProtection) && res->protection != nullptr) {
        out.Text(" protection=&quot;");
        out.Raw(res->protection);
        out.Text("&quot;");
    }
    if ((eff & kCdsFilterResResolution) && res->resolution_x >= 0 && res->resolution_y > 0) {
        out.Text(" resolution=&quot;");
        out.Number(kResolutionAllowance, "%dx%d", res->resolution_x, res->resolution_y);
        out.Text("&quot;");
    }
    if ((eff & kCdsFilterResSampleFrequency) && res->sample_frequency >= 0)
        IntAttribute(out, " sampleFrequency=&quot;", res->sample_frequency);
    if ((eff & kCdsFilterResSize) && res->size >= 0) {
        out.Text(" size=&quot;");
        out.Number(kInt64Allowance, "%" PRId64, res->size);
        out.Text("&quot;");
    }
    if ((eff & kCdsFilterResImportUri) && res->import_uri != nullptr)
        TextAttribute(out, " importUri=&quot;", res->import_uri);
    if ((eff & kCdsFilterResImportIfoFileUri) && res->import_ifo_file_uri != nullptr)
        TextAttribute(out, " importIfoFileUri=&quot;", res->import_ifo_file_uri);
    if ((eff & kCdsFilterResIfoFileUri) && res->ifo_file_uri != nullptr)
        TextAttribute(out, " dlna:ifoFileURI=&quot;", res->ifo_file_uri);
    if ((eff & kCdsFilterResTrackTotal) && res->track_total >= 0)
        IntAttribute(out, " dlna:trackTotal=&quot;", res->track_total);
    if ((eff & kCdsFilterResResumeUpload) && (res->resume_upload == 0 || res->resume_upload == 1))
        IntAttribute(out, " dlna:resumeUpload=&quot;", res->resume_upload);
    if ((eff & kCdsFilterResUploadedSize) && res->uploaded_size >= 0)
        IntAttribute(out, " dlna:uploadedSize=&quot;", res->uploaded_size);
    out.Text("&gt;");
    out.Value(res->value);
    out.Text("&lt;/res&gt;");
}

// The start tag of the object's element with its attributes.
void EmitStartTag(DidlOut& out, const CdsObject* o, std::uint32_t filter, std::uint32_t eff)
{
    using namespace tv;
    const bool container = CdsIsContainer(o->media_class);
    out.Text(container ? "\r\n&lt;container" : "\r\n&lt;item");
    if (o->id != nullptr) TextAttribute(out, " id=&quot;", o->id);
    if (o->parent_id != nullptr) TextAttribute(out, " parentID=&quot;", o->parent_id);
    out.Text((o->flags & kCdsFlagRestricted) ? " restricted=&quot;1&quot;"
                                             : " restricted=&quot;0&quot;");
    if (container) {
        if (filter & kCdsFilterSearchable) {
            out.Text((o->flags & kCdsFlagSearchable) ? " searchable=&quot;1&quot;"
                                                     : " searchable=&quot;0&quot;");
        }
        if (filter & kCdsFilterChildCount) IntAttribute(out, " childCount=&quot;", o->child_count);
    } else if (o->ref_id != nullptr && o->ref_id[0] != '\0') {
        TextAttribute(out, " refID=&quot;", o->ref_id);
    }
    if (eff & kCdsFilterDlnaManaged) {
        out.Text(" dlna:dlnaManaged=&quot;");
        out.Number(kIntAllowance, "%x", o->dlna_managed);
        out.Text("&quot;");
    }
    out.Text("&gt;");
}

// What only a container carries: the classes it may hold and be searched for, a tuner's type.
void EmitContainerParts(DidlOut& out, const CdsObject* o, std::uint32_t eff)
{
    using namespace tv;
    if (eff & kCdsFilterCreateClass) {
        EmitClasses(out, o->create_classes, "\r\n&lt;upnp:createClass includeDerived=&quot;",
                    "&lt;/upnp:createClass&gt;");
    }
    if (eff & kCdsFilterSearchClass) {
        EmitClasses(out, o->search_classes, "\r\n&lt;upnp:searchClass includeDerived=&quot;",
                    "&lt;/upnp:searchClass&gt;");
    }
    if ((eff & kCdsFilterContainerType) && o->tuner != 0) {
        out.Text("\r\n&lt;dlna:containerType&gt;Tuner_1_0&lt;/dlna:containerType&gt;");
    }
}

constexpr std::string_view kAlbumOpen = "\r\n&lt;upnp:album&gt;";
constexpr std::string_view kAlbumClose = "&lt;/upnp:album&gt;";
constexpr std::string_view kGenreOpen = "\r\n&lt;upnp:genre&gt;";
constexpr std::string_view kGenreClose = "&lt;/upnp:genre&gt;";

// Albums, genres and the date of audio, video and image items.
void EmitItemClassParts(DidlOut& out, const CdsObject* o, std::uint32_t eff)
{
    using namespace tv;
    const std::uint32_t second = CdsClassSecond(o->media_class);
    bool with_date = false;
    if (second == kCdsAudioItem) {
        if (eff & kCdsFilterAlbum)
            EmitTexts(out, kAlbumOpen, o->album_count, o->albums, kAlbumClose);
        if (eff & kCdsFilterGenre)
            EmitTexts(out, kGenreOpen, o->genre_count, o->genres, kGenreClose);
        with_date = true;
    } else if (second == kCdsVideoItem) {
        if (eff & kCdsFilterGenre)
            EmitTexts(out, kGenreOpen, o->genre_count, o->genres, kGenreClose);
        with_date = true;
    } else if (second == kCdsImageItem) {
        with_date = true;
    }
    if (with_date && (eff & kCdsFilterDate) && o->details != nullptr && !o->details->date.empty()) {
        out.Text("\r\n&lt;dc:date&gt;");
        out.Value(o->details->date.c_str());
        out.Text("&lt;/dc:date&gt;");
    } else if (with_date && (eff & kCdsFilterDate) && o->date > 0) {
        out.Text("\r\n&lt;dc:date&gt;");
        out.Date(o->date);
        out.Text("&lt;/dc:date&gt;");
    }
}

// A music album's genres, a photo's albums, a broadcast's channel.
void EmitDetailClassParts(DidlOut& out, const CdsObject* o, std::uint32_t eff)
{
    using namespace tv;
    const std::uint32_t third = CdsClassThird(o->media_class);
    if (third == kCdsMusicAlbum) {
        if (eff & kCdsFilterGenre) {
            EmitTexts(out, kGenreOpen, o->album_genre_count, o->album_genres, kGenreClose);
        }
    } else if (third == kCdsPhoto) {
        if (eff & kCdsFilterAlbum) {
            EmitTexts(out, kAlbumOpen, o->photo_album_count, o->photo_albums, kAlbumClose);
        }
    } else if (third == kCdsAudioBroadcast || third == kCdsVideoBroadcast) {
        if (eff & kCdsFilterChannelName) {
            out.Text("\r\n&lt;upnp:channelName&gt;");
            out.Value(o->channel_name);
            out.Text("&lt;/upnp:channelName&gt;");
        }
        if (eff & kCdsFilterChannelNr) {
            out.Text("\r\n&lt;upnp:channelNr&gt;");
            out.Number(kIntAllowance, "%d", o->channel_nr);
            out.Text("&lt;/upnp:channelNr&gt;");
        }
    }
}

// The object's elements in document order; the measuring and the writing pass both run this.
void EmitObject(DidlOut& out, const CdsObject* o, std::uint32_t filter, std::uint32_t eff,
                bool with_root)
{
    using namespace tv;
    const bool container = CdsIsContainer(o->media_class);
    if (with_root)
        out.Text(CdsFilter_NeedsDlnaNamespace(filter) ? kDidlRootStartDlna : kDidlRootStart);
    EmitStartTag(out, o, filter, eff);
    out.Text("\r\n&lt;dc:title&gt;");
    out.Value(o->title);
    out.Text("&lt;/dc:title&gt;");
    out.Text("\r\n&lt;upnp:class&gt;");
    out.ClassName(o->media_class);
    out.Text("&lt;/upnp:class&gt;");
    if (container) EmitContainerParts(out, o, eff);
    if (eff & kCdsFilterTakeOut) {
        for (std::int32_t i = 0; i < o->take_out_count; ++i) {
            out.Text("\r\n&lt;dlna:takeOut&gt;");
            out.Raw(o->take_out[i]);
            out.Text("&lt;/dlna:takeOut&gt;");
        }
    }
    if (eff & kCdsFilterCreator) {
        out.Text("\r\n&lt;dc:creator&gt;");
        out.Value(o->creator);
        out.Text("&lt;/dc:creator&gt;");
    }
    const CdsMediaDetails* details = (eff & kCdsFilterMediaDetails) != 0 ? o->details : nullptr;
    if (details != nullptr && !details->artist.empty()) {
        out.Text("\r\n&lt;upnp:artist&gt;");
        out.Value(details->artist.c_str());
        out.Text("&lt;/upnp:artist&gt;");
    }
    EmitItemClassParts(out, o, eff);
    EmitDetailClassParts(out, o, eff);
    if (details != nullptr && details->track > 0) {
        out.Text("\r\n&lt;upnp:originalTrackNumber&gt;");
        out.Number(kIntAllowance, "%d", details->track);
        out.Text("&lt;/upnp:originalTrackNumber&gt;");
    }
    if (details != nullptr && !details->album_art_uri.empty()) {
        out.Text("\r\n&lt;upnp:albumArtURI dlna:profileID=&quot;JPEG_TN&quot;&gt;");
        out.Value(details->album_art_uri.c_str());
        out.Text("&lt;/upnp:albumArtURI&gt;");
    }
    if (eff & kCdsFilterRes) {
        for (const CdsResource* res = o->resources; res != nullptr; res = res->next) {
            EmitResource(out, res, eff);
        }
    }
    if (details != nullptr && !details->caption_uri.empty()) {
        out.Text("\r\n&lt;sec:CaptionInfoEx sec:type=&quot;");
        out.Value(details->caption_type.c_str());
        out.Text("&quot;&gt;");
        out.Value(details->caption_uri.c_str());
        out.Text("&lt;/sec:CaptionInfoEx&gt;");
    }
    out.Text(container ? "\r\n&lt;/container&gt;" : "\r\n&lt;/item&gt;");
    if (with_root) out.Text(kDidlRootEnd);
}

}  // namespace

namespace tv {

int CdsToDidl_FormatDurationLength(int seconds) noexcept
{
    char buffer[32];
    return CdsToDidl_FormatDuration(buffer, seconds);
}

}  // namespace tv

std::uint32_t CdsFilter_Parse(const char* filter) noexcept
{
    if (filter == nullptr) return 0;
    std::uint32_t mask = 0;
    bool in_token = false;
    for (const char* p = filter; *p != '\0'; ++p) {
        const unsigned char byte = static_cast<unsigned char>(*p);
        if (in_token) {
            if (byte == ',') in_token = false;
            continue;
        }
        switch (tv::ToLowerAscii(*p)) {
        case '*':
            mask |= tv::kCdsFilterAll;
            break;
        case '@':
            in_token = true;
            mask |= Match(p, kAtKeywords);
            break;
        case 'a':
            in_token = true;
            mask |= Match(p, kAKeywords);
            break;
        case 'c':
            in_token = true;
            mask |= Match(p, kCKeywords);
            break;
        case 'd':
            in_token = true;
            mask |= Match(p, kDKeywords);
            break;
        case 'r':
            in_token = true;
            mask |= Match(p, kRKeywords);
            break;
        case 'u':
            in_token = true;
            mask |= Match(p, kUKeywords);
            break;
        default:
            in_token = IsAsciiLetter(byte);
            break;
        }
    }
    return mask;
}

int CdsFilter_StringLength(std::uint32_t mask) noexcept
{
    int length = 0;
    bool first = true;
    for (const Keyword& entry : kCapabilityNames) {
        if ((mask & entry.bits) == 0) continue;
        length += static_cast<int>(entry.name.size()) + (first ? 0 : 1);
        first = false;
    }
    return length;
}

int CdsFilter_ToString(char* buffer, std::uint32_t mask) noexcept
{
    int length = 0;
    for (const Keyword& entry : kCapabilityNames) {
        if ((mask & entry.bits) == 0) continue;
        if (length > 0) buffer[length++] = ',';
        std::memcpy(buffer + length, entry.name.data(), entry.name.size());
        length += static_cast<int>(entry.name.size());
    }
    buffer[length] = '\0';
    return length;
}

bool CdsFilter_NeedsDlnaNamespace(std::uint32_t mask) noexcept
{
    return (mask & tv::kCdsFilterDlnaNamespace) != 0;
}

int CdsToDidl_FormatDuration(char* buffer, int seconds) noexcept
{
    if (seconds < 0) return 0;
    return std::snprintf(buffer, 17, "%d:%02d:%02d.000", seconds / 3600, (seconds / 60) % 60,
                         seconds % 60);
}

int CdsToDidl_FormatDurationMs(char* buffer, std::int64_t milliseconds) noexcept
{
    if (milliseconds < 0) return 0;
    const std::int64_t seconds = milliseconds / 1000;
    return std::snprintf(buffer, 32, "%" PRId64 ":%02d:%02d.%03d", seconds / 3600,
                         static_cast<int>((seconds / 60) % 60), static_cast<int>(seconds % 60),
                         static_cast<int>(milliseconds % 1000));
}

int CdsToDidl_DoubleEscapeLength(const char* text) noexcept
{
    int length = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        length += DoubleEscapeLengthOf(static_cast<unsigned char>(*p));
    }
    return length;
}

int CdsToDidl_DoubleEscape(char* destination, const char* text) noexcept
{
    char* out = destination;
    auto put = [&](std::string_view s) {
        std::memcpy(out, s.data(), s.size());
        out += s.size();
    };
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '"':
            put("&amp;quot;");
            break;
        case '\'':
            put("&amp;apos;");
            break;
        case '&':
            put("&amp;amp;");
            break;
        case '<':
            put("&amp;lt;");
            break;
        case '>':
            put("&amp;gt;");
            break;
        default:
            *out++ = *p;
            break;
        }
    }
    *out = '\0';
    return static_cast<int>(out - destination);
}

namespace {

// Checks the classes the output will name and decides the parts.
tv::CdsClassCheck Prepare(const CdsObject* object, std::uint32_t filter, std::uint32_t* eff)
{
    tv::CdsClassCheck check = tv::CdsMediaClassCheck(object->media_class);
    if (check != tv::kCdsCheckNamed) return check;
    *eff = EffectiveMask(object, filter);
    if (*eff & tv::kCdsFilterCreateClass) {
        check = CheckClasses(object->create_classes);
        if (check != tv::kCdsCheckNamed) return check;
    }
    if (*eff & tv::kCdsFilterSearchClass) {
        check = CheckClasses(object->search_classes);
        if (check != tv::kCdsCheckNamed) return check;
    }
    return tv::kCdsCheckNamed;
}

std::size_t Measure(const CdsObject* object, bool single_escape, std::uint32_t filter,
                    std::uint32_t eff, bool with_root)
{
    DidlOut measure(nullptr, 0, single_escape);
    EmitObject(measure, object, filter, eff, with_root);
    // The terminator's byte: the text must stay below the measured size.
    return measure.Length() + 1;
}

}  // namespace

long long tv::CdsToDidl_MeasuredSize(const CdsObject* object, int single_escape,
                                     std::uint32_t filter, int with_root) noexcept
{
    std::uint32_t eff = 0;
    tv::CdsClassCheck check = Prepare(object, filter, &eff);
    if (check != tv::kCdsCheckNamed) return check;
    return static_cast<long long>(Measure(object, single_escape != 0, filter, eff, with_root != 0));
}

tv::CdsDidlText CdsToDidl_GetmediaObjectDidlEscaped(const CdsObject* object, int single_escape,
                                                    std::uint32_t filter, int with_root) noexcept
{
    auto fail = [](tv::CdsDidlError error) { return tv::CdsDidlText{.error = error}; };
    std::uint32_t eff = 0;
    tv::CdsClassCheck check = Prepare(object, filter, &eff);
    if (check != tv::kCdsCheckNamed) return fail(static_cast<tv::CdsDidlError>(check));
    const std::size_t size = Measure(object, single_escape != 0, filter, eff, with_root != 0);

    char* buffer = static_cast<char*>(std::malloc(size));
    if (buffer == nullptr) {
        std::fputs("!!! malloc failed in CdsToDidl_GetmediaObjectDidlEscaped() !!!\r\n", stderr);
        return fail(tv::kCdsDidlOverflow);
    }
    DidlOut write(buffer, size, single_escape != 0);
    EmitObject(write, object, filter, eff, with_root != 0);
    if (write.Overflow() || write.Length() >= size) {
        std::free(buffer);
        return fail(tv::kCdsDidlOverflow);
    }
    buffer[write.Length()] = '\0';
    return tv::CdsDidlText{.text = buffer, .length = static_cast<int>(write.Length())};
}
