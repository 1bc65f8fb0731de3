#include "mediainfo/MediaInfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <climits>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/WaitUntil.h"

using tv::MediaInfoStatus;

namespace {

// Made once with ffmpeg beside the test program and kept there (no media in the repository).
constexpr const char* kFixtureScript = R"(set -e
q="-hide_banner -loglevel error -nostdin -y"
ffmpeg $q -f lavfi -i "sine=frequency=440:duration=3" -f lavfi -i "testsrc=size=600x400:duration=1" \
  -map 0:a -map 1:v -frames:v 1 -c:a libmp3lame -b:a 128k -c:v mjpeg -id3v2_version 3 \
  -metadata title="Sine Song" -metadata artist="Tone Artist" -metadata album="Test Album" \
  -metadata genre="Electronic" -metadata track="3/12" -metadata date="2021-05-03" \
  -disposition:v attached_pic tagged.mp3
ffmpeg $q -f lavfi -i "sine=frequency=330:duration=4:sample_rate=48000" -ac 2 -c:a flac \
  -metadata title="Flac Title" -metadata artist="Flac Artist" -metadata album="Flac Album" \
  -metadata date="1999" -metadata track="7" tone.flac
ffmpeg $q -f lavfi -i "sine=frequency=550:duration=5" -ac 2 -c:a aac -b:a 128k \
  -metadata title="M4a Title" -metadata artist="M4a Artist" tone.m4a
ffmpeg $q -f lavfi -i "testsrc=size=320x240:rate=25:duration=2" -f lavfi -i "sine=duration=2" \
  -c:v libx264 -profile:v main -level 3.0 -pix_fmt yuv420p -c:a aac -ac 2 -shortest \
  -metadata title="Mp4 Title" clip.mp4
ffmpeg $q -f lavfi -i "testsrc=size=640x360:rate=25:duration=3" -f lavfi -i "sine=duration=3" \
  -c:v libx264 -pix_fmt yuv420p -c:a libopus -shortest -metadata title="Mkv Title" clip.mkv
ffmpeg $q -f lavfi -i "testsrc=size=3840x2160:duration=1" -frames:v 1 -q:v 3 big.jpg
ffmpeg $q -f lavfi -i "sine=duration=2" -c:a libopus -metadata title="Opus Title" \
  -metadata artist="Opus Artist" tone.opus
)";

std::string ProgramFolder()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder(self, length > 0 ? static_cast<std::size_t>(length) : 0);
    return folder.substr(0, folder.rfind('/'));
}

// The fixture folder; test processes that make it at once each make their own and the first
// rename wins.
const std::string& Fixtures()
{
    static const std::string folder = [] {
        std::string final_name = ProgramFolder() + "/mediainfo-fixtures-1";
        if (std::filesystem::exists(final_name + "/tone.opus")) return final_name;
        std::string pattern = final_name + ".XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return std::string();
        std::string script = pattern + "/make.sh";
        std::ofstream(script) << kFixtureScript;
        std::string command = "cd '" + pattern + "' && bash make.sh";
        if (std::system(command.c_str()) != 0 || rename(pattern.c_str(), final_name.c_str()) != 0) {
            std::error_code ignored;
            std::filesystem::remove_all(pattern, ignored);
        }
        return std::filesystem::exists(final_name + "/tone.opus") ? final_name : std::string();
    }();
    return folder;
}

class TempFolder {
public:
    TempFolder()
    {
        char pattern[] = "/tmp/tv-mediainfo-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string File(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(Path(name), std::ios::binary | std::ios::trunc) << bytes;
        return Path(name);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

tv::FileIdentity IdentityOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return tv::FileIdentityOf(st);
}

// The hooks' side: ready calls counted, log lines kept.
struct Hooks {
    std::mutex lock;
    std::condition_variable changed;
    int readies = 0;
    std::vector<std::string> lines;

    static void Ready(void* user) noexcept
    {
        auto* self = static_cast<Hooks*>(user);
        {
            std::scoped_lock hold(self->lock);
            ++self->readies;
        }
        self->changed.notify_all();
    }
    static void Log(void* user, const char* line) noexcept
    {
        auto* self = static_cast<Hooks*>(user);
        std::scoped_lock hold(self->lock);
        self->lines.emplace_back(line);
    }
    int CountLines(const std::string& part)
    {
        std::scoped_lock hold(lock);
        int count = 0;
        for (const std::string& line : lines) count += line.find(part) != std::string::npos;
        return count;
    }
};

tv::MediaInfoOptions Options(Hooks* hooks, const std::string& helper)
{
    tv::MediaInfoOptions options;
    options.helper_program = helper;
    options.keep_on_disk = false;
    options.log = Hooks::Log;
    options.log_user = hooks;
    options.ready = Hooks::Ready;
    options.ready_user = hooks;
    return options;
}

struct Outcome {
    MediaInfoStatus status = MediaInfoStatus::kPending;
    tv::MediaInfoRecord record;
};

// Looks every path up as a Browse would (its own stat each time), again after each ready
// call, until none is pending.
std::map<std::string, Outcome> LookUpAll(tv::MediaInfo* info, Hooks* hooks,
                                         const std::vector<std::string>& paths)
{
    std::map<std::string, Outcome> outcomes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        int seen = 0;
        {
            std::scoped_lock hold(hooks->lock);
            seen = hooks->readies;
        }
        bool pending = false;
        for (const std::string& path : paths) {
            Outcome& o = outcomes[path];
            if (o.status != MediaInfoStatus::kPending) continue;
            o.status = tv::MediaInfo_Lookup(info, path.c_str(), IdentityOf(path), &o.record);
            pending |= o.status == MediaInfoStatus::kPending;
        }
        if (!pending) return outcomes;
        std::unique_lock hold(hooks->lock);
        if (!hooks->changed.wait_until(hold, deadline, [&] { return hooks->readies > seen; })) {
            ADD_FAILURE() << "lookups still pending after 60 s";
            return outcomes;
        }
    }
}

// A reaped child is gone; one left behind (running, or a zombie) still takes signals.
bool Gone(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

bool Mapped(pid_t pid, const char* library)
{
    std::string maps = ReadAll("/proc/" + std::to_string(pid) + "/maps");
    return maps.find(library) != std::string::npos;
}

// The frame size of a baseline JPEG (the thumbnails are ours).
bool JpegSize(const std::string& jpeg, int* width, int* height)
{
    for (std::size_t at = 2; at + 9 < jpeg.size();) {
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(jpeg[i]); };
        if (byte(at) != 0xFF) return false;
        if (byte(at + 1) == 0xC0) {
            *height = byte(at + 5) << 8 | byte(at + 6);
            *width = byte(at + 7) << 8 | byte(at + 8);
            return true;
        }
        at += 2 + (byte(at + 2) << 8 | byte(at + 3));
    }
    return false;
}

double ProbedSeconds(const std::string& path)
{
    std::string command =
        "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return -1;
    char text[64] = {};
    size_t n = fread(text, 1, sizeof text - 1, pipe);
    pclose(pipe);
    return n > 0 ? std::atof(text) : -1;
}

// Why the tests with real files cannot run here, or empty.
std::string WithoutRealHelper()
{
    if (std::string(TV_MEDIAINFO_HELPER).empty()) return "built without FFmpeg";
    if (Fixtures().empty()) return "ffmpeg could not make the fixtures";
    return {};
}

}  // namespace

TEST(MediaInfo, ReadsTagsDurationsAndPicturesOfRealFiles)
{
    if (std::string why = WithoutRealHelper(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    Hooks hooks;
    tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, TV_MEDIAINFO_HELPER));
    ASSERT_NE(info, nullptr);
    const std::vector<std::string> names = {"tagged.mp3", "tone.flac", "tone.m4a", "clip.mp4",
                                            "clip.mkv",   "big.jpg",   "tone.opus"};
    std::vector<std::string> paths;
    for (const std::string& name : names) paths.push_back(Fixtures() + "/" + name);
    std::map<std::string, Outcome> got = LookUpAll(info, &hooks, paths);
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        ASSERT_EQ(got[path].status, MediaInfoStatus::kKnown);
        if (path.ends_with(".jpg")) continue;
        double seconds = ProbedSeconds(path);
        ASSERT_GT(seconds, 0);
        EXPECT_NEAR(static_cast<double>(got[path].record.duration_ms) / 1000, seconds, 1.0);
    }
    auto record = [&](const char* name) { return got[Fixtures() + "/" + name].record; };

    tv::MediaInfoRecord mp3 = record("tagged.mp3");
    EXPECT_EQ(mp3.title, "Sine Song");
    EXPECT_EQ(mp3.artist, "Tone Artist");
    EXPECT_EQ(mp3.album, "Test Album");
    EXPECT_EQ(mp3.genre, "Electronic");
    EXPECT_EQ(mp3.track, 3);
    EXPECT_EQ(mp3.date, "2021-05-03");
    EXPECT_EQ(mp3.sample_frequency, 44100);
    EXPECT_EQ(mp3.nr_audio_channels, 1);
    EXPECT_EQ(mp3.bitrate, 128000);
    EXPECT_EQ(mp3.video_streams, 0) << "the cover is no video";
    EXPECT_TRUE(mp3.has_thumbnail);
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(mp3), "MP3");

    tv::MediaInfoRecord flac = record("tone.flac");
    EXPECT_EQ(flac.title, "Flac Title");
    EXPECT_EQ(flac.album, "Flac Album");
    EXPECT_EQ(flac.date, "1999-01-01");
    EXPECT_EQ(flac.track, 7);
    EXPECT_EQ(flac.sample_frequency, 48000);
    EXPECT_EQ(flac.nr_audio_channels, 2);
    EXPECT_FALSE(flac.has_thumbnail);
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(flac), "");

    EXPECT_EQ(record("tone.m4a").artist, "M4a Artist");
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(record("tone.m4a")), "AAC_ISO_320");
    EXPECT_EQ(record("tone.opus").title, "Opus Title") << "Ogg keeps its tags on the stream";
    EXPECT_EQ(record("tone.opus").artist, "Opus Artist");

    tv::MediaInfoRecord mp4 = record("clip.mp4");
    EXPECT_EQ(mp4.title, "Mp4 Title");
    EXPECT_EQ(tv::MediaInfo_FormatResolution(mp4.width, mp4.height), "320x240");
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(mp4), "AVC_MP4_MP_SD_AAC_MULT5");
    tv::MediaInfoRecord mkv = record("clip.mkv");
    EXPECT_EQ(mkv.title, "Mkv Title");
    EXPECT_EQ(tv::MediaInfo_FormatResolution(mkv.width, mkv.height), "640x360");
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(mkv), "");

    tv::MediaInfoRecord jpg = record("big.jpg");
    EXPECT_EQ(tv::MediaInfo_FormatResolution(jpg.width, jpg.height), "3840x2160");
    EXPECT_EQ(tv::MediaInfo_DlnaProfile(jpg), "JPEG_LRG");

    // Thumbnails fit 160x160 and keep the picture's shape.
    struct Picture {
        const char* name;
        int width;
        int height;
    };
    for (Picture p : {Picture{"tagged.mp3", 160, 107}, Picture{"big.jpg", 160, 90}}) {
        SCOPED_TRACE(p.name);
        std::string jpeg;
        ASSERT_TRUE(tv::MediaInfo_Thumbnail(info, IdentityOf(Fixtures() + "/" + p.name), &jpeg));
        int width = 0;
        int height = 0;
        ASSERT_TRUE(JpegSize(jpeg, &width, &height));
        EXPECT_EQ(width, p.width);
        EXPECT_EQ(height, p.height);
    }
    std::string none;
    EXPECT_FALSE(tv::MediaInfo_Thumbnail(info, IdentityOf(Fixtures() + "/tone.flac"), &none));
    EXPECT_EQ(hooks.CountLines(""), 0);
    tv::MediaInfo_Destroy(info);
}

TEST(MediaInfo, DamagedFilesFailAndEveryOtherFileStillAnswers)
{
    if (std::string why = WithoutRealHelper(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    TempFolder folder;
    std::string clip = ReadAll(Fixtures() + "/clip.mp4");
    std::string song = ReadAll(Fixtures() + "/tagged.mp3");
    std::string corrupt = song;
    for (std::size_t at = 2000; at < corrupt.size() && at < 40000; at += 7) corrupt[at] = '\x5A';
    std::vector<std::string> bad = {
        folder.File("truncated.mp4", clip.substr(0, clip.size() / 3)),
        folder.File("empty.flac", ""),
        folder.File("text.mp4", "this is no video\n"),
        // Lists that name other files: the helper cannot be made to open them.
        folder.File("concat.mp3", "ffconcat version 1.0\nfile '" + Fixtures() + "/tone.flac'\n"),
        folder.File("list.ts", "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:4,\nfile://" +
                                   Fixtures() + "/tone.flac\n#EXT-X-ENDLIST\n"),
        // 20 GiB of zeros (sparse): a demuxer that searches them must not take minutes.
        folder.Path("sparse.mp4"),
        folder.Path("sparse.mp3"),
        folder.Path("fifo.mp3"),
    };
    for (const char* name : {"sparse.mp4", "sparse.mp3"})
        std::filesystem::resize_file(folder.File(name, ""), 20LL << 30);
    ASSERT_EQ(mkfifo(folder.Path("fifo.mp3").c_str(), 0600), 0);
    std::vector<std::string> good = {folder.File("good1.mp3", song),
                                     folder.File("good2.mp4", clip)};
    std::string damaged = folder.File("corrupt.mp3", corrupt);
    std::vector<std::string> all = {bad[0], good[0], bad[1], bad[2], damaged, bad[3],
                                    bad[4], bad[5],  bad[6], bad[7], good[1]};

    Hooks hooks;
    tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, TV_MEDIAINFO_HELPER));
    std::map<std::string, Outcome> got = LookUpAll(info, &hooks, all);
    for (const std::string& path : bad)
        EXPECT_EQ(got[path].status, MediaInfoStatus::kFailed) << path;
    for (const std::string& path : good)
        EXPECT_EQ(got[path].status, MediaInfoStatus::kKnown) << path;
    // Damage past the header: what the header says is still there, or nothing is.
    EXPECT_NE(got[damaged].status, MediaInfoStatus::kPending);
    if (got[damaged].status == MediaInfoStatus::kKnown) {
        EXPECT_EQ(got[damaged].record.title, "Sine Song");
    }
    EXPECT_EQ(hooks.CountLines("ended the helper"), 0) << "nothing here may crash it";
    EXPECT_EQ(hooks.CountLines("took longer"), 0);
    std::vector<pid_t> helpers = tv::MediaInfo_GetStats(info).helpers;
    EXPECT_FALSE(helpers.empty());
    tv::MediaInfo_Destroy(info);
    for (pid_t pid : helpers) EXPECT_TRUE(Gone(pid)) << "helper " << pid << " left behind";
}

TEST(MediaInfo, HelperThatCrashesOrHangsIsReplacedAndTheFileRemembered)
{
    TempFolder folder;
    std::vector<std::string> paths = {
        folder.File("a.mp3", "first\n"), folder.File("crash.mp3", "crash"),
        folder.File("b.mp3", "second\n"), folder.File("hang.mp3", "hang"),
        folder.File("c.mp3", "third\n")};
    Hooks hooks;
    tv::MediaInfoOptions options = Options(&hooks, TV_MEDIAINFO_STANDIN);
    options.time_limit_ms = 500;
    options.helpers = 1;
    tv::MediaInfo* info = tv::MediaInfo_Create(options);
    std::map<std::string, Outcome> got = LookUpAll(info, &hooks, paths);
    EXPECT_EQ(got[paths[0]].record.title, "first");
    EXPECT_EQ(got[paths[2]].record.title, "second");
    EXPECT_EQ(got[paths[4]].record.title, "third");
    EXPECT_EQ(got[paths[1]].status, MediaInfoStatus::kFailed);
    EXPECT_EQ(got[paths[3]].status, MediaInfoStatus::kFailed);
    EXPECT_EQ(hooks.CountLines("crash.mp3 ended the helper (signal 9)"), 1);
    EXPECT_EQ(hooks.CountLines("hang.mp3 took longer than 500 ms"), 1);
    EXPECT_EQ(hooks.CountLines("Media information"), 2);
    tv::MediaInfoStats stats = tv::MediaInfo_GetStats(info);
    EXPECT_EQ(stats.helpers_started, 3u);
    EXPECT_EQ(stats.failures, 2u);

    // Remembered: the next Browse does not try it again ...
    tv::MediaInfoRecord record;
    EXPECT_EQ(tv::MediaInfo_Lookup(info, paths[1].c_str(), IdentityOf(paths[1]), &record),
              MediaInfoStatus::kFailed);
    EXPECT_EQ(tv::MediaInfo_GetStats(info).helpers_started, 3u);
    // ... until the file changes.
    folder.File("crash.mp3", "mended\n");
    got = LookUpAll(info, &hooks, {paths[1]});
    EXPECT_EQ(got[paths[1]].status, MediaInfoStatus::kKnown);
    EXPECT_EQ(got[paths[1]].record.title, "mended");

    // A helper that retires (its CPU budget spent) blames nothing: the files it did not
    // answer go to the next one.
    std::vector<std::string> more = {folder.File("retire.mp3", "retire\n"),
                                     folder.File("d.mp3", "fourth\n"),
                                     folder.File("e.mp3", "fifth\n")};
    got = LookUpAll(info, &hooks, more);
    for (const std::string& path : more)
        EXPECT_EQ(got[path].status, MediaInfoStatus::kKnown) << path;
    EXPECT_EQ(got[more[2]].record.title, "fifth");
    EXPECT_EQ(tv::MediaInfo_GetStats(info).helpers_started, 4u);
    EXPECT_EQ(hooks.CountLines("Media information"), 2);
    std::vector<pid_t> helpers = tv::MediaInfo_GetStats(info).helpers;
    tv::MediaInfo_Destroy(info);
    for (pid_t pid : helpers) EXPECT_TRUE(Gone(pid)) << "helper " << pid << " left behind";
}

namespace {

// The content layer's opener refuses paths outside the shared folders.
int RefuseSecrets(void* user, const char* path) noexcept
{
    ++*static_cast<int*>(user);
    if (std::string_view(path).find("secret") != std::string_view::npos) {
        errno = EACCES;
        return -1;
    }
    return tv::MediaInfo_OpenRegular(nullptr, path);
}

}  // namespace

TEST(MediaInfo, FilesAreOpenedByTheCallersOpenerOnly)
{
    TempFolder folder;
    std::vector<std::string> paths = {folder.File("secret.mp3", "hidden\n"),
                                      folder.File("open.mp3", "shown\n")};
    Hooks hooks;
    tv::MediaInfoOptions options = Options(&hooks, TV_MEDIAINFO_STANDIN);
    int opened = 0;
    options.open = RefuseSecrets;
    options.open_user = &opened;
    tv::MediaInfo* info = tv::MediaInfo_Create(options);
    std::map<std::string, Outcome> got = LookUpAll(info, &hooks, paths);
    EXPECT_EQ(got[paths[0]].status, MediaInfoStatus::kFailed);
    EXPECT_EQ(got[paths[1]].record.title, "shown");
    tv::MediaInfo_Destroy(info);
    EXPECT_EQ(opened, 2);
}

TEST(MediaInfo, WithoutAWorkingHelperFilesAreUnavailable)
{
    TempFolder folder;
    std::string song = folder.File("a.mp3", "first\n");
    std::string dies = folder.Path("stand-in-dies");
    ASSERT_EQ(symlink(TV_MEDIAINFO_STANDIN, dies.c_str()), 0);
    for (const std::string& helper : {folder.Path("not-installed"), dies}) {
        SCOPED_TRACE(helper);
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, helper));
        std::map<std::string, Outcome> got = LookUpAll(info, &hooks, {song});
        EXPECT_EQ(got[song].status, MediaInfoStatus::kUnavailable);
        tv::MediaInfoRecord record;
        EXPECT_EQ(tv::MediaInfo_Lookup(info, song.c_str(), IdentityOf(song), &record),
                  MediaInfoStatus::kUnavailable);
        EXPECT_EQ(hooks.CountLines("files are listed without it"), 1);
        tv::MediaInfo_Destroy(info);
    }
    Hooks hooks;
    tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, TV_MEDIAINFO_STANDIN));
    std::string text = folder.File("notes.txt", "first\n");
    tv::MediaInfoRecord record;
    EXPECT_EQ(tv::MediaInfo_Lookup(info, text.c_str(), IdentityOf(text), &record),
              MediaInfoStatus::kUnavailable);
    tv::MediaInfo_Destroy(info);
}

TEST(MediaInfo, CacheOnDiskServesARestartAndADamagedOneIsIgnored)
{
    if (std::string why = WithoutRealHelper(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    TempFolder cache;
    std::vector<std::string> paths = {Fixtures() + "/tagged.mp3", Fixtures() + "/tone.flac"};
    auto options = [&](Hooks* hooks) {
        tv::MediaInfoOptions o = Options(hooks, TV_MEDIAINFO_HELPER);
        o.keep_on_disk = true;
        o.cache_folder = cache.path();
        o.save_delay_ms = 50;
        o.idle_ms = 300;
        return o;
    };
    std::string file = cache.Path("mediainfo.cache");
    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(options(&hooks));
        LookUpAll(info, &hooks, paths);
        // Written a little after the last change, while it runs.
        tv::test::WaitUntil([&] { return std::filesystem::exists(file); },
                            std::chrono::seconds(20));
        EXPECT_TRUE(std::filesystem::exists(file));
        tv::MediaInfo_Destroy(info);
    }
    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(options(&hooks));
        std::map<std::string, Outcome> got = LookUpAll(info, &hooks, paths);
        EXPECT_EQ(got[paths[0]].record.title, "Sine Song");
        EXPECT_EQ(got[paths[1]].record.title, "Flac Title");
        EXPECT_EQ(tv::MediaInfo_GetStats(info).helpers_started, 0u) << "nothing read again";
        std::string jpeg;
        EXPECT_TRUE(tv::MediaInfo_Thumbnail(info, IdentityOf(paths[0]), &jpeg));
        EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
        // Idle, it gives its memory back; the pictures and the records come back from disk.
        ASSERT_TRUE(tv::test::WaitUntil([&] { return !tv::MediaInfo_GetStats(info).cache_loaded; },
                                        std::chrono::seconds(20)));
        jpeg.clear();
        EXPECT_TRUE(tv::MediaInfo_Thumbnail(info, IdentityOf(paths[0]), &jpeg));
        EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
        got = LookUpAll(info, &hooks, paths);
        EXPECT_EQ(got[paths[1]].record.title, "Flac Title");
        EXPECT_EQ(tv::MediaInfo_GetStats(info).helpers_started, 0u) << "nothing read again";
        EXPECT_EQ(hooks.CountLines(""), 0);
        tv::MediaInfo_Destroy(info);
    }
    std::string bytes = ReadAll(file);
    bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(options(&hooks));
        std::map<std::string, Outcome> got = LookUpAll(info, &hooks, paths);
        EXPECT_EQ(got[paths[0]].record.title, "Sine Song");
        EXPECT_GE(tv::MediaInfo_GetStats(info).helpers_started, 1u) << "read again";
        EXPECT_EQ(hooks.CountLines("cache file in " + cache.path() + " is damaged"), 1);
        EXPECT_EQ(hooks.CountLines(""), 1);
        tv::MediaInfo_Destroy(info);
    }
    std::vector<tv::MediaInfoCache::Entry> entries;
    bool damaged = true;
    EXPECT_TRUE(tv::MediaInfoCache::ReadFile(cache.path(), &entries, &damaged)) << "replaced";
}

// FFmpeg lives in the helper alone: the process that asks maps none of it. The helper runs
// sandboxed, and one with nothing to do ends and is reaped.
TEST(MediaInfo, OnlyTheSandboxedHelperMapsFFmpegAndAnIdleOneEnds)
{
    if (std::string why = WithoutRealHelper(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    Hooks hooks;
    tv::MediaInfoOptions options = Options(&hooks, TV_MEDIAINFO_HELPER);
    options.idle_ms = 300;
    tv::MediaInfo* info = tv::MediaInfo_Create(options);
    std::string path = Fixtures() + "/tone.m4a";
    ASSERT_EQ(LookUpAll(info, &hooks, {path})[path].status, MediaInfoStatus::kKnown);
    std::vector<pid_t> helpers = tv::MediaInfo_GetStats(info).helpers;
    ASSERT_EQ(helpers.size(), 1u);
    pid_t helper = helpers[0];
    EXPECT_TRUE(Mapped(helper, "libavformat"));
    EXPECT_FALSE(Mapped(getpid(), "libavformat"));
    EXPECT_FALSE(Mapped(getpid(), "libavcodec"));
    EXPECT_FALSE(Mapped(getpid(), "libseccomp"));
    std::string status = ReadAll("/proc/" + std::to_string(helper) + "/status");
    EXPECT_NE(status.find("NoNewPrivs:\t1"), std::string::npos);
    EXPECT_NE(status.find("Seccomp:\t2"), std::string::npos);
    std::string limits = ReadAll("/proc/" + std::to_string(helper) + "/limits");
    for (const char* limit : {"Max file size             0                    0",
                              "Max core file size        0                    0",
                              "Max address space         1073741824           1073741824",
                              "Max cpu time              300                  305"})
        EXPECT_NE(limits.find(limit), std::string::npos) << limit;

    tv::test::WaitUntil([&] { return tv::MediaInfo_GetStats(info).helpers.empty(); },
                        std::chrono::seconds(20));
    EXPECT_TRUE(tv::MediaInfo_GetStats(info).helpers.empty());
    EXPECT_TRUE(Gone(helper));
    // A lookup after that starts another.
    std::string other = Fixtures() + "/tone.flac";
    EXPECT_EQ(LookUpAll(info, &hooks, {other})[other].status, MediaInfoStatus::kKnown);
    EXPECT_EQ(tv::MediaInfo_GetStats(info).helpers_started, 2u);
    tv::MediaInfo_Destroy(info);
}

TEST(MediaInfo, CacheFolderOfTheServiceThenXdgThenHome)
{
    struct Saved {
        const char* name;
        std::string value;
        bool set;
    };
    std::vector<Saved> saved;
    for (const char* name : {"CACHE_DIRECTORY", "XDG_CACHE_HOME", "HOME"}) {
        const char* value = std::getenv(name);
        saved.push_back({name, value != nullptr ? value : "", value != nullptr});
    }
    setenv("CACHE_DIRECTORY", "/var/cache/tindravoller:/var/cache/other", 1);
    setenv("XDG_CACHE_HOME", "/home/ann/.xdg-cache", 1);
    setenv("HOME", "/home/ann", 1);
    EXPECT_EQ(tv::MediaInfo_DefaultCacheFolder(), "/var/cache/tindravoller");
    unsetenv("CACHE_DIRECTORY");
    EXPECT_EQ(tv::MediaInfo_DefaultCacheFolder(), "/home/ann/.xdg-cache/tindravoller");
    setenv("XDG_CACHE_HOME", "relative", 1);  // the XDG rules ignore a relative path
    EXPECT_EQ(tv::MediaInfo_DefaultCacheFolder(), "/home/ann/.cache/tindravoller");
    unsetenv("HOME");
    EXPECT_EQ(tv::MediaInfo_DefaultCacheFolder(), "");
    for (const Saved& s : saved) {
        if (s.set) {
            setenv(s.name, s.value.c_str(), 1);
        } else {
            unsetenv(s.name);
        }
    }
}
