#include "mediainfo/MediaInfoWire.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/UniqueFd.h"

namespace {

tv::ProbeResult FullResult()
{
    tv::ProbeResult result;
    result.id = 0x0102030405060708ULL;
    result.readable = true;
    tv::MediaInfoRecord& r = result.record;
    r.title = "Caf\xC3\xA9";
    r.artist = "A";
    r.album = "B";
    r.genre = "C";
    r.date = "2021-05-03";
    r.track = 3;
    r.duration_ms = 3030;
    r.bitrate = 128000;
    r.sample_frequency = 44100;
    r.nr_audio_channels = 2;
    r.width = 600;
    r.height = 400;
    r.container = "mp3";
    r.audio_codec = "mp3";
    r.audio_profile = -1;
    r.video_codec = "h264";
    r.video_profile = 100;
    r.video_level = 41;
    r.audio_streams = 1;
    r.video_streams = 0;
    r.has_thumbnail = true;
    result.thumbnail = std::string("\xFF\xD8 jpeg \0 bytes \xFF\xD9", 18);
    return result;
}

}  // namespace

TEST(MediaInfoWire, MessagesRoundTrip)
{
    tv::ProbeResult in = FullResult();
    std::string bytes = tv::Wire_EncodeResult(in);
    EXPECT_EQ(tv::Wire_TypeOf(bytes), tv::WireType::kResult);
    tv::ProbeResult out;
    ASSERT_TRUE(tv::Wire_DecodeResult(bytes, &out));
    EXPECT_EQ(out.id, in.id);
    EXPECT_TRUE(out.readable);
    EXPECT_EQ(out.record, in.record);
    EXPECT_EQ(out.thumbnail, in.thumbnail);

    tv::ProbeRequest request{42, tv::MediaInfoKind::kImage, tv::kWantThumbnail, "jpeg"};
    tv::ProbeRequest back;
    ASSERT_TRUE(tv::Wire_DecodeRequest(tv::Wire_EncodeRequest(request), &back));
    EXPECT_EQ(back.id, 42u);
    EXPECT_EQ(back.kind, tv::MediaInfoKind::kImage);
    EXPECT_EQ(back.want, tv::kWantThumbnail);
    EXPECT_EQ(back.extension, "jpeg");
    EXPECT_EQ(tv::Wire_TypeOf(tv::Wire_EncodeSignal(tv::WireType::kHello)), tv::WireType::kHello);
    EXPECT_EQ(tv::Wire_TypeOf(tv::Wire_EncodeSignal(tv::WireType::kRetire)), tv::WireType::kRetire);
}

// The server reads what a helper that may have gone wrong sends: nothing short, long or
// out of shape is taken.
TEST(MediaInfoWire, DamagedMessagesAreRefused)
{
    std::string bytes = tv::Wire_EncodeResult(FullResult());
    tv::ProbeResult out;
    for (std::size_t length = 0; length < bytes.size(); ++length)
        EXPECT_FALSE(tv::Wire_DecodeResult(bytes.substr(0, length), &out)) << length;
    EXPECT_FALSE(tv::Wire_DecodeResult(bytes + "x", &out));
    std::string huge = bytes;
    huge[14] = '\x7F';  // the title's length, far past the end
    EXPECT_FALSE(tv::Wire_DecodeResult(huge, &out));
    std::string version = bytes;
    version[0] = 2;
    EXPECT_EQ(tv::Wire_TypeOf(version), tv::WireType::kNone);
    EXPECT_EQ(tv::Wire_TypeOf(std::string("\x01\x09", 2)), tv::WireType::kNone);
    EXPECT_EQ(tv::Wire_TypeOf(tv::Wire_EncodeSignal(tv::WireType::kHello) + "x"),
              tv::WireType::kNone);
    std::string bad_kind = tv::Wire_EncodeRequest({1, tv::MediaInfoKind::kAudio, 1, "mp3"});
    bad_kind[10] = 9;
    tv::ProbeRequest request;
    EXPECT_FALSE(tv::Wire_DecodeRequest(bad_kind, &request));
}

TEST(MediaInfoWire, DescriptorTravelsWithItsDatagram)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    tv::UniqueFd a(pair[0]);
    tv::UniqueFd b(pair[1]);
    char name[] = "/tmp/tv-wire-XXXXXX";
    tv::UniqueFd file(mkstemp(name));
    ASSERT_TRUE(file);
    unlink(name);
    std::string message = tv::Wire_EncodeRequest({7, tv::MediaInfoKind::kAudio, 1, "mp3"});
    ASSERT_EQ(tv::Wire_Send(a.get(), message, file.get(), 0), static_cast<long>(message.size()));
    std::vector<char> buffer(tv::kWireMaxMessage);
    int fd = -1;
    ASSERT_EQ(tv::Wire_Receive(b.get(), buffer.data(), &fd, 0), static_cast<long>(message.size()));
    tv::UniqueFd received(fd);
    struct stat sent {};
    struct stat got {};
    ASSERT_EQ(fstat(file.get(), &sent), 0);
    ASSERT_EQ(fstat(received.get(), &got), 0);
    EXPECT_EQ(sent.st_ino, got.st_ino);

    // A datagram bigger than any message is cut short: refused, never half read.
    std::string big(tv::kWireMaxMessage + 1, 'x');
    ASSERT_EQ(tv::Wire_Send(a.get(), big, -1, 0), static_cast<long>(big.size()));
    EXPECT_EQ(tv::Wire_Receive(b.get(), buffer.data(), &fd, 0), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(fd, -1);
    a.reset();
    EXPECT_EQ(tv::Wire_Receive(b.get(), buffer.data(), &fd, 0), 0);
}
