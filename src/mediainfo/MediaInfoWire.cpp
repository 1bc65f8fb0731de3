// Encoding of the helper's messages and the datagram calls that carry a descriptor.
#include "mediainfo/MediaInfoWire.h"

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <unistd.h>

namespace tv {
namespace {

// Every message begins with the version and its type.
void PutHead(WireWriter* writer, WireType type)
{
    writer->U8(kWireVersion);
    writer->U8(static_cast<std::uint8_t>(type));
}

bool GetHead(WireReader* reader, WireType expected) noexcept
{
    std::uint8_t version = 0;
    std::uint8_t type = 0;
    return reader->U8(&version) && reader->U8(&type) && version == kWireVersion &&
           type == static_cast<std::uint8_t>(expected);
}

}  // namespace

void WireWriter::U8(std::uint8_t value)
{
    out_->push_back(static_cast<char>(value));
}

void WireWriter::U32(std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) U8(static_cast<std::uint8_t>(value >> shift));
}

void WireWriter::U64(std::uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8) U8(static_cast<std::uint8_t>(value >> shift));
}

void WireWriter::Text(std::string_view text)
{
    U32(static_cast<std::uint32_t>(text.size()));
    out_->append(text);
}

bool WireReader::U8(std::uint8_t* value) noexcept
{
    if (at_ >= in_.size()) return false;
    *value = static_cast<std::uint8_t>(in_[at_++]);
    return true;
}

bool WireReader::U32(std::uint32_t* value) noexcept
{
    if (in_.size() - at_ < 4) return false;
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(in_[at_ + i]);
    at_ += 4;
    *value = v;
    return true;
}

bool WireReader::U64(std::uint64_t* value) noexcept
{
    if (in_.size() - at_ < 8) return false;
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(in_[at_ + i]);
    at_ += 8;
    *value = v;
    return true;
}

bool WireReader::I64(std::int64_t* value) noexcept
{
    std::uint64_t v = 0;
    if (!U64(&v)) return false;
    *value = static_cast<std::int64_t>(v);
    return true;
}

bool WireReader::I32(std::int32_t* value) noexcept
{
    std::uint32_t v = 0;
    if (!U32(&v)) return false;
    *value = static_cast<std::int32_t>(v);
    return true;
}

bool WireReader::Text(std::string* text, std::size_t max_length)
{
    std::uint32_t length = 0;
    if (!U32(&length) || length > max_length || in_.size() - at_ < length) return false;
    text->assign(in_.substr(at_, length));
    at_ += length;
    return true;
}

void Wire_PutRecord(WireWriter* w, const MediaInfoRecord& r)
{
    for (const std::string* text : {&r.title, &r.artist, &r.album, &r.genre, &r.date})
        w->Text(*text);
    w->I32(r.track);
    w->I64(r.duration_ms);
    w->I64(r.bitrate);
    w->I32(r.sample_frequency);
    w->I32(r.nr_audio_channels);
    w->I32(r.width);
    w->I32(r.height);
    w->Text(r.container);
    w->Text(r.audio_codec);
    w->I32(r.audio_profile);
    w->Text(r.video_codec);
    w->I32(r.video_profile);
    w->I32(r.video_level);
    w->I32(r.audio_streams);
    w->I32(r.video_streams);
    w->U8(r.has_thumbnail ? 1 : 0);
}

bool Wire_GetRecord(WireReader* rd, MediaInfoRecord* r)
{
    constexpr std::size_t kMaxName = 64;
    for (std::string* text : {&r->title, &r->artist, &r->album, &r->genre, &r->date})
        if (!rd->Text(text, kMaxTagBytes)) return false;
    std::uint8_t thumbnail = 0;
    bool ok = rd->I32(&r->track) && rd->I64(&r->duration_ms) && rd->I64(&r->bitrate) &&
              rd->I32(&r->sample_frequency) && rd->I32(&r->nr_audio_channels) &&
              rd->I32(&r->width) && rd->I32(&r->height) && rd->Text(&r->container, kMaxName) &&
              rd->Text(&r->audio_codec, kMaxName) && rd->I32(&r->audio_profile) &&
              rd->Text(&r->video_codec, kMaxName) && rd->I32(&r->video_profile) &&
              rd->I32(&r->video_level) && rd->I32(&r->audio_streams) &&
              rd->I32(&r->video_streams) && rd->U8(&thumbnail) && thumbnail <= 1;
    r->has_thumbnail = thumbnail == 1;
    return ok;
}

std::string Wire_EncodeRequest(const ProbeRequest& request)
{
    std::string out;
    WireWriter w(&out);
    PutHead(&w, WireType::kProbe);
    w.U64(request.id);
    w.U8(static_cast<std::uint8_t>(request.kind));
    w.U8(request.want);
    w.Text(request.extension.substr(0, kWireMaxExtension));
    return out;
}

bool Wire_DecodeRequest(std::string_view message, ProbeRequest* request)
{
    WireReader r(message);
    std::uint8_t kind = 0;
    if (!GetHead(&r, WireType::kProbe) || !r.U64(&request->id) || !r.U8(&kind) ||
        !r.U8(&request->want) || !r.Text(&request->extension, kWireMaxExtension))
        return false;
    if (kind > static_cast<std::uint8_t>(MediaInfoKind::kImage)) return false;
    request->kind = static_cast<MediaInfoKind>(kind);
    return r.AtEnd();
}

std::string Wire_EncodeResult(const ProbeResult& result)
{
    std::string out;
    WireWriter w(&out);
    PutHead(&w, WireType::kResult);
    w.U64(result.id);
    w.U8(result.readable ? 1 : 0);
    Wire_PutRecord(&w, result.record);
    w.Text(result.thumbnail.size() <= kWireMaxThumbnail ? std::string_view(result.thumbnail)
                                                        : std::string_view());
    return out;
}

bool Wire_DecodeResult(std::string_view message, ProbeResult* result)
{
    WireReader r(message);
    std::uint8_t readable = 0;
    if (!GetHead(&r, WireType::kResult) || !r.U64(&result->id) || !r.U8(&readable) ||
        readable > 1 || !Wire_GetRecord(&r, &result->record) ||
        !r.Text(&result->thumbnail, kWireMaxThumbnail))
        return false;
    result->readable = readable == 1;
    return r.AtEnd();
}

std::string Wire_EncodeSignal(WireType type)
{
    std::string out;
    WireWriter w(&out);
    PutHead(&w, type);
    return out;
}

WireType Wire_TypeOf(std::string_view message) noexcept
{
    if (message.size() < 2 || static_cast<std::uint8_t>(message[0]) != kWireVersion)
        return WireType::kNone;
    auto type = static_cast<std::uint8_t>(message[1]);
    if (type < 1 || type > 4) return WireType::kNone;
    // The signals are the head alone.
    bool signal = type == 2 || type == 4;
    if (signal && message.size() != 2) return WireType::kNone;
    return static_cast<WireType>(type);
}

long Wire_Send(int socket, std::string_view message, int fd, int flags) noexcept
{
    iovec part{const_cast<char*>(message.data()), message.size()};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (fd >= 0) {
        std::memset(control, 0, sizeof control);
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
    }
    return static_cast<long>(sendmsg(socket, &header, MSG_NOSIGNAL | flags));
}

long Wire_Receive(int socket, char* buffer, int* fd, int flags) noexcept
{
    *fd = -1;
    iovec part{buffer, kWireMaxMessage};
    msghdr header{};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    // Room for a few descriptors, so that a peer that sends more is seen and they are closed.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t n = recvmsg(socket, &header, MSG_CMSG_CLOEXEC | flags);
    if (n < 0) return -1;
    int received = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int one = -1;
            std::memcpy(&one, CMSG_DATA(c) + i * sizeof(int), sizeof one);
            if (received++ == 0) {
                *fd = one;
            } else {
                ::close(one);
            }
        }
    }
    if ((header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || received > 1) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
        errno = EMSGSIZE;
        return -1;
    }
    return static_cast<long>(n);
}

}  // namespace tv
