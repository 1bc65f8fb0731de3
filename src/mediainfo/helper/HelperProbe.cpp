// The helper's reading of one file: a demuxer from a short list over a descriptor (never a
// path: nested opens are refused, so playlists and concat lists fail), the header first and a
// full stream probe only when the header left the duration or a picture size unknown, and a
// thumbnail decoded, scaled and encoded as JPEG. Runs on the helper's only thread.
#include "mediainfo/helper/HelperProbe.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avstring.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace tv {
namespace {

constexpr int kIoBufferBytes = 64 * 1024;
// A picture larger than this is not decoded (a hostile header could ask for gigabytes).
constexpr std::int64_t kMaxPixels = 16384LL * 16384LL;
constexpr int kThumbnailQuality = 5;  // MJPEG quantiser: small and still clean at 160x160
// No header or stream probe needs more: a file of zeros (a sparse one of 20 GiB) would have a
// demuxer searching it for minutes. It ends there as at the file's end.
constexpr std::int64_t kReadBudgetBytes = 64LL << 20;
// Inside the server's time limit for a file, so that a slow one fails without a new helper.
constexpr std::int64_t kProbeSeconds = 3;

// Demuxers that read only the descriptor they are given: no playlists, no concat lists, no
// manifests, no image sequences by file name.
constexpr const char* kMediaDemuxers =
    "mp3,flac,mov,matroska,avi,asf,mpeg,mpegts,mpegvideo,ogg,wav,aac";
constexpr const char* kImageDemuxers = "jpeg_pipe,png_pipe,gif,bmp_pipe,webp_pipe";

struct ExtensionDemuxer {
    std::string_view extension;
    const char* demuxer;
};

// The demuxer to force when probing by content found none on the list.
constexpr ExtensionDemuxer kByExtension[] = {
    {"mp3", "mp3"},      {"flac", "flac"}, {"m4a", "mov"},       {"mp4", "mov"},
    {"m4v", "mov"},      {"mov", "mov"},   {"mkv", "matroska"},  {"webm", "matroska"},
    {"avi", "avi"},      {"wmv", "asf"},   {"wma", "asf"},       {"mpg", "mpeg"},
    {"mpeg", "mpeg"},    {"vob", "mpeg"},  {"ts", "mpegts"},     {"m2ts", "mpegts"},
    {"mts", "mpegts"},   {"ogg", "ogg"},   {"oga", "ogg"},       {"opus", "ogg"},
    {"wav", "wav"},      {"aac", "aac"},   {"jpg", "jpeg_pipe"}, {"jpeg", "jpeg_pipe"},
    {"png", "png_pipe"}, {"gif", "gif"},   {"bmp", "bmp_pipe"},  {"webp", "webp_pipe"},
};

struct FdSource {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t read = 0;
    std::int64_t deadline_ns = 0;
};

std::int64_t MonotonicNs() noexcept
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int ReadPacket(void* opaque, std::uint8_t* buffer, int size) noexcept
{
    auto* source = static_cast<FdSource*>(opaque);
    if (source->read >= kReadBudgetBytes) return AVERROR_EOF;
    ssize_t n = 0;
    do {
        n = ::read(source->fd, buffer, static_cast<std::size_t>(size));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return AVERROR(errno);
    if (n == 0) return AVERROR_EOF;
    source->read += n;
    return static_cast<int>(n);
}

// Stream probes and packet reads ask this between steps.
int Interrupted(void* opaque) noexcept
{
    return MonotonicNs() > static_cast<const FdSource*>(opaque)->deadline_ns ? 1 : 0;
}

std::int64_t SeekSource(void* opaque, std::int64_t offset, int whence) noexcept
{
    auto* source = static_cast<FdSource*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) return source->size;
    off_t at = ::lseek(source->fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<std::int64_t>(at);
}

// A demuxer that wants another file (a playlist entry, a reference) gets none.
int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) noexcept
{
    return AVERROR(EPERM);
}

struct Demuxed {
    AVFormatContext* format = nullptr;
    AVIOContext* io = nullptr;
    FdSource source;

    Demuxed() = default;
    Demuxed(const Demuxed&) = delete;
    Demuxed& operator=(const Demuxed&) = delete;
    ~Demuxed() { Close(); }
    void Close() noexcept
    {
        avformat_close_input(&format);
        if (io != nullptr) av_freep(&io->buffer);
        avio_context_free(&io);
    }
};

// Opens with probing among the allowed demuxers, or with `forced`; false when none takes it.
bool OpenDemuxer(Demuxed* d, const char* allowed, const char* url, const AVInputFormat* forced)
{
    d->Close();
    if (::lseek(d->source.fd, 0, SEEK_SET) != 0) return false;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
    if (buffer == nullptr) return false;
    d->io =
        avio_alloc_context(buffer, kIoBufferBytes, 0, &d->source, ReadPacket, nullptr, SeekSource);
    if (d->io == nullptr) {
        av_free(buffer);
        return false;
    }
    d->format = avformat_alloc_context();
    if (d->format == nullptr) return false;
    d->format->pb = d->io;
    d->format->flags |= AVFMT_FLAG_CUSTOM_IO;
    d->format->format_whitelist = av_strdup(allowed);
    d->format->protocol_whitelist = av_strdup("none");
    d->format->io_open = RefuseOpen;
    d->format->interrupt_callback = AVIOInterruptCB{Interrupted, &d->source};
    // On failure avformat_open_input frees the context; the custom I/O stays ours.
    return avformat_open_input(&d->format, url, forced, nullptr) == 0;
}

const char* ForcedDemuxer(std::string_view extension) noexcept
{
    for (const ExtensionDemuxer& row : kByExtension)
        if (row.extension.size() == extension.size() &&
            std::equal(extension.begin(), extension.end(), row.extension.begin(),
                       [](char a, char b) { return (a | 0x20) == b; }))
            return row.demuxer;
    return nullptr;
}

bool Open(Demuxed* d, MediaInfoKind kind, std::string_view extension)
{
    bool image = kind == MediaInfoKind::kImage;
    const char* allowed = image ? kImageDemuxers : kMediaDemuxers;
    // The extension helps the probe tell streams apart (an ADTS or TS file); an image's would
    // make the probe favour the file-name sequence reader, which is not allowed.
    std::string url = image ? "file" : "file." + std::string(extension);
    if (OpenDemuxer(d, allowed, url.c_str(), nullptr)) return true;
    const char* name = ForcedDemuxer(extension);
    const AVInputFormat* forced = name != nullptr ? av_find_input_format(name) : nullptr;
    if (forced == nullptr) return false;
    return av_match_name(name, allowed) != 0 && OpenDemuxer(d, allowed, url.c_str(), forced);
}

std::string Tag(const AVDictionary* metadata, const char* key)
{
    const AVDictionaryEntry* entry = av_dict_get(metadata, key, nullptr, 0);
    return entry != nullptr && entry->value != nullptr ? MediaInfo_CleanTag(entry->value)
                                                       : std::string();
}

// Container tags first; Ogg and Opus keep theirs on the audio stream.
std::string FirstTag(const AVFormatContext* f, const AVStream* audio,
                     std::initializer_list<const char*> keys)
{
    for (const AVDictionary* metadata : {f->metadata, audio != nullptr ? audio->metadata : nullptr})
        for (const char* key : keys) {
            std::string value = Tag(metadata, key);
            if (!value.empty()) return value;
        }
    return {};
}

// H.264 profile and level from the avcC record when the demuxer left them unknown.
void ReadAvcConfig(const AVCodecParameters* p, MediaInfoRecord* r) noexcept
{
    if (p->codec_id != AV_CODEC_ID_H264 || p->extradata_size < 4 || p->extradata[0] != 1) return;
    int profile = p->extradata[1];
    // constraint_set1 on baseline: the constrained baseline the decoder reports with a flag.
    if (profile == 66 && (p->extradata[2] & 0x40) != 0) profile |= FF_PROFILE_H264_CONSTRAINED;
    r->video_profile = profile;
    r->video_level = p->extradata[3];
}

// AAC's audio object type from the AudioSpecificConfig (LC is 2, reported as profile 1).
void ReadAacConfig(const AVCodecParameters* p, MediaInfoRecord* r) noexcept
{
    if (p->codec_id != AV_CODEC_ID_AAC || p->extradata_size < 2) return;
    int object_type = p->extradata[0] >> 3;
    if (object_type != 31) r->audio_profile = object_type - 1;
}

struct Streams {
    const AVStream* audio = nullptr;
    const AVStream* video = nullptr;
    const AVStream* picture = nullptr;  // an attached picture (cover art)
};

Streams FindStreams(const AVFormatContext* f, MediaInfoRecord* r)
{
    Streams s;
    r->audio_streams = 0;
    r->video_streams = 0;
    for (unsigned i = 0; i < f->nb_streams; ++i) {
        const AVStream* st = f->streams[i];
        if ((st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0) {
            if (s.picture == nullptr) s.picture = st;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            if (r->audio_streams++ == 0) s.audio = st;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            if (r->video_streams++ == 0) s.video = st;
        }
    }
    return s;
}

bool NeedsStreamProbe(const AVFormatContext* f, const Streams& s) noexcept
{
    if (f->duration == AV_NOPTS_VALUE || f->duration <= 0) return true;
    if (s.video != nullptr && (s.video->codecpar->width <= 0 || s.video->codecpar->height <= 0))
        return true;
    if (s.audio != nullptr &&
        (s.audio->codecpar->sample_rate <= 0 || s.audio->codecpar->ch_layout.nb_channels <= 0))
        return true;
    return s.audio == nullptr && s.video == nullptr;
}

void ReadStreams(const AVFormatContext* f, const Streams& s, std::int64_t file_size,
                 MediaInfoRecord* r)
{
    std::string_view container = f->iformat->name;
    r->container = std::string(container.substr(0, container.find(',')));
    if (f->duration != AV_NOPTS_VALUE && f->duration > 0)
        r->duration_ms = f->duration / (AV_TIME_BASE / 1000);
    if (s.audio != nullptr) {
        const AVCodecParameters* p = s.audio->codecpar;
        r->audio_codec = avcodec_get_name(p->codec_id);
        r->audio_profile = p->profile != FF_PROFILE_UNKNOWN ? p->profile : -1;
        if (r->audio_profile < 0) ReadAacConfig(p, r);
        if (p->sample_rate > 0) r->sample_frequency = p->sample_rate;
        if (p->ch_layout.nb_channels > 0) r->nr_audio_channels = p->ch_layout.nb_channels;
    }
    if (s.video != nullptr) {
        const AVCodecParameters* p = s.video->codecpar;
        r->video_codec = avcodec_get_name(p->codec_id);
        r->video_profile = p->profile != FF_PROFILE_UNKNOWN ? p->profile : -1;
        r->video_level = p->level != FF_LEVEL_UNKNOWN ? p->level : -1;
        if (r->video_profile < 0) ReadAvcConfig(p, r);
        if (p->width > 0 && p->height > 0) {
            r->width = p->width;
            r->height = p->height;
        }
    }
    // An audio file's rate is its stream's (a cover picture is not music); a video's the whole.
    std::int64_t bits = 0;
    if (s.video == nullptr && s.audio != nullptr) bits = s.audio->codecpar->bit_rate;
    if (bits <= 0) bits = f->bit_rate;
    if (bits <= 0 && r->duration_ms > 0 && file_size > 0) bits = file_size * 8000 / r->duration_ms;
    if (bits > 0) r->bitrate = bits;
}

void ReadTags(const AVFormatContext* f, const Streams& s, MediaInfoRecord* r)
{
    r->title = FirstTag(f, s.audio, {"title"});
    r->artist = FirstTag(f, s.audio, {"artist", "album_artist", "author"});
    r->album = FirstTag(f, s.audio, {"album"});
    r->genre = FirstTag(f, s.audio, {"genre"});
    r->date = MediaInfo_NormalizeDate(FirstTag(f, s.audio, {"date", "year", "date_released"}));
    r->track = MediaInfo_ParseTrack(FirstTag(f, s.audio, {"track"}));
}

// ---- Pictures ----

struct JpegFrame {
    int width = 0;
    int height = 0;
    int marker = 0;  // 0xC0 baseline, 0xC1 extended, 0xC2 progressive ...
};

// The first start-of-frame segment of a JPEG; false when there is none in bounds.
bool ReadJpegFrame(const std::uint8_t* data, int size, JpegFrame* frame) noexcept
{
    if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
    int at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF) return false;
        int marker = data[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        int length = (data[at + 2] << 8) | data[at + 3];
        if (length < 2) return false;
        bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof) {
            if (at + 9 > size) return false;
            frame->marker = marker;
            frame->height = (data[at + 5] << 8) | data[at + 6];
            frame->width = (data[at + 7] << 8) | data[at + 8];
            return frame->width > 0 && frame->height > 0;
        }
        if (marker == 0xD9 || marker == 0xDA) return false;
        at += 2 + length;
    }
    return false;
}

struct FrameDeleter {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
struct CodecDeleter {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

// The largest reduction (a power of two, up to 8) that still leaves the thumbnail's size.
int LowResFor(int width, int height) noexcept
{
    int scale = 0;
    while (scale < 3 && (width >> (scale + 1)) >= kThumbnailEdge &&
           (height >> (scale + 1)) >= kThumbnailEdge)
        ++scale;
    return scale;
}

FramePtr DecodePicture(AVCodecID codec_id, const AVPacket* packet, int lowres)
{
    const AVCodec* codec = avcodec_find_decoder(codec_id);
    if (codec == nullptr || packet == nullptr || packet->size <= 0) return nullptr;
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context) return nullptr;
    context->thread_count = 1;
    context->max_pixels = kMaxPixels;
    context->lowres = std::min(lowres, static_cast<int>(codec->max_lowres));
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    FramePtr frame(av_frame_alloc());
    if (!frame || avcodec_send_packet(context.get(), packet) < 0) return nullptr;
    avcodec_send_packet(context.get(), nullptr);
    if (avcodec_receive_frame(context.get(), frame.get()) < 0) return nullptr;
    if (frame->width <= 0 || frame->height <= 0) return nullptr;
    return frame;
}

// Fits the picture into 160x160 (never larger than it is), as baseline JPEG.
std::string EncodeThumbnail(const AVFrame* picture)
{
    int width = picture->width;
    int height = picture->height;
    if (width > kThumbnailEdge || height > kThumbnailEdge) {
        if (width >= height) {
            height = std::max(
                1, static_cast<int>(
                       (static_cast<std::int64_t>(height) * kThumbnailEdge + width / 2) / width));
            width = kThumbnailEdge;
        } else {
            width = std::max(
                1, static_cast<int>(
                       (static_cast<std::int64_t>(width) * kThumbnailEdge + height / 2) / height));
            height = kThumbnailEdge;
        }
    }
    auto source = static_cast<AVPixelFormat>(picture->format);
    SwsContext* scaler = sws_getContext(picture->width, picture->height, source, width, height,
                                        AV_PIX_FMT_YUVJ420P, SWS_AREA, nullptr, nullptr, nullptr);
    if (scaler == nullptr) return {};
    FramePtr scaled(av_frame_alloc());
    bool ok = scaled != nullptr;
    if (ok) {
        scaled->format = AV_PIX_FMT_YUVJ420P;
        scaled->width = width;
        scaled->height = height;
        ok = av_frame_get_buffer(scaled.get(), 0) >= 0 &&
             sws_scale(scaler, picture->data, picture->linesize, 0, picture->height, scaled->data,
                       scaled->linesize) == height;
    }
    sws_freeContext(scaler);
    if (!ok) return {};

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    CodecPtr encoder(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
    if (!encoder) return {};
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->time_base = AVRational{1, 25};
    encoder->thread_count = 1;
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * kThumbnailQuality;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0) return {};
    scaled->quality = encoder->global_quality;
    scaled->pts = 0;
    AVPacket* packet = av_packet_alloc();
    std::string jpeg;
    if (packet != nullptr && avcodec_send_frame(encoder.get(), scaled.get()) >= 0 &&
        avcodec_receive_packet(encoder.get(), packet) >= 0)
        jpeg.assign(reinterpret_cast<const char*>(packet->data),
                    static_cast<std::size_t>(packet->size));
    av_packet_free(&packet);
    return jpeg.size() <= kWireMaxThumbnail ? jpeg : std::string();
}

// A picture packet (a photo, or an audio file's cover) to its thumbnail; a JPEG is decoded
// at the smallest reduction that still fills the thumbnail.
std::string Thumbnail(AVCodecID codec_id, const AVPacket* packet, const JpegFrame* jpeg)
{
    int lowres = 0;
    if (jpeg != nullptr && jpeg->width > 0) lowres = LowResFor(jpeg->width, jpeg->height);
    FramePtr picture = DecodePicture(codec_id, packet, lowres);
    return picture ? EncodeThumbnail(picture.get()) : std::string();
}

// A photo or a folder cover: its size and profile from its own header, and its thumbnail.
bool ReadImage(AVFormatContext* f, const ProbeRequest& request, MediaInfoRecord* r,
               std::string* thumbnail)
{
    if (f->nb_streams < 1) return false;
    const AVCodecParameters* p = f->streams[0]->codecpar;
    std::string_view container = f->iformat->name;
    r->container = std::string(container.substr(0, container.find(',')));
    r->video_codec = avcodec_get_name(p->codec_id);
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return false;
    bool ok = av_read_frame(f, packet) >= 0;
    JpegFrame jpeg;
    bool is_jpeg =
        ok && p->codec_id == AV_CODEC_ID_MJPEG && ReadJpegFrame(packet->data, packet->size, &jpeg);
    if (is_jpeg) {
        r->width = jpeg.width;
        r->height = jpeg.height;
        r->video_profile = jpeg.marker;
    }
    FramePtr picture;
    bool want_picture = (request.want & kWantThumbnail) != 0 || !is_jpeg;
    if (ok && want_picture) {
        int lowres = is_jpeg ? LowResFor(jpeg.width, jpeg.height) : 0;
        picture = DecodePicture(p->codec_id, packet, lowres);
        if (picture && !is_jpeg) {
            r->width = picture->width;
            r->height = picture->height;
        }
        if (picture && (request.want & kWantThumbnail) != 0)
            *thumbnail = EncodeThumbnail(picture.get());
    }
    av_packet_free(&packet);
    return ok && r->width > 0;
}

}  // namespace

void HelperProbe_Init() noexcept
{
    av_log_set_level(AV_LOG_QUIET);
    // Decoders and the encoder build their tables at first use: do that now, on a picture
    // made here, while files may still be opened.
    FramePtr picture(av_frame_alloc());
    if (!picture) return;
    picture->format = AV_PIX_FMT_YUVJ420P;
    picture->width = 320;
    picture->height = 240;
    if (av_frame_get_buffer(picture.get(), 0) < 0) return;
    for (int plane = 0; plane < 3; ++plane)
        std::memset(picture->data[plane], 128,
                    static_cast<std::size_t>(picture->linesize[plane]) * (plane == 0 ? 240 : 120));
    std::string jpeg = EncodeThumbnail(picture.get());
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) return;
    if (av_new_packet(packet, static_cast<int>(jpeg.size())) == 0) {
        std::memcpy(packet->data, jpeg.data(), jpeg.size());
        DecodePicture(AV_CODEC_ID_MJPEG, packet, 1);
        DecodePicture(AV_CODEC_ID_MJPEG, packet, 0);
    }
    av_packet_free(&packet);
    for (AVCodecID id : {AV_CODEC_ID_PNG, AV_CODEC_ID_GIF, AV_CODEC_ID_BMP, AV_CODEC_ID_WEBP,
                         AV_CODEC_ID_MP3, AV_CODEC_ID_AAC, AV_CODEC_ID_FLAC, AV_CODEC_ID_H264}) {
        const AVCodec* codec = avcodec_find_decoder(id);
        CodecPtr context(codec != nullptr ? avcodec_alloc_context3(codec) : nullptr);
        if (context) {
            context->thread_count = 1;
            avcodec_open2(context.get(), codec, nullptr);
        }
    }
}

void HelperProbe_Run(int fd, const ProbeRequest& request, ProbeResult* result) noexcept
{
    result->id = request.id;
    result->readable = false;
    result->record = MediaInfoRecord{};
    result->thumbnail.clear();
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return;
    Demuxed d;
    d.source.fd = fd;
    d.source.size = st.st_size;
    d.source.deadline_ns = MonotonicNs() + kProbeSeconds * 1000000000;
    if (!Open(&d, request.kind, request.extension)) return;
    MediaInfoRecord* r = &result->record;
    if (request.kind == MediaInfoKind::kImage) {
        result->readable = ReadImage(d.format, request, r, &result->thumbnail);
        r->has_thumbnail = !result->thumbnail.empty();
        return;
    }
    Streams streams = FindStreams(d.format, r);
    if (NeedsStreamProbe(d.format, streams)) {
        if (avformat_find_stream_info(d.format, nullptr) < 0) return;
        streams = FindStreams(d.format, r);
    }
    if (streams.audio == nullptr && streams.video == nullptr) return;
    ReadStreams(d.format, streams, st.st_size, r);
    // A demuxer told to take the file may find a stream in anything; only a stream that
    // says what it is counts.
    if (r->sample_frequency <= 0 && r->width <= 0) return;
    ReadTags(d.format, streams, r);
    result->readable = true;
    if ((request.want & kWantThumbnail) != 0 && streams.picture != nullptr) {
        const AVPacket* packet = &streams.picture->attached_pic;
        JpegFrame jpeg;
        bool is_jpeg = streams.picture->codecpar->codec_id == AV_CODEC_ID_MJPEG &&
                       ReadJpegFrame(packet->data, packet->size, &jpeg);
        result->thumbnail =
            Thumbnail(streams.picture->codecpar->codec_id, packet, is_jpeg ? &jpeg : nullptr);
    }
    r->has_thumbnail = !result->thumbnail.empty();
}

}  // namespace tv
