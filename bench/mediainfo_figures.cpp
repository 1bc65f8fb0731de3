// Figures for the media-information client and its helper (not a pass/fail test): a cold
// listing of 11,000 small tagged MP3s with one helper and with two, cold pages of 100 audio
// files and of 100 videos, the same listing again from the cache file after a restart, warm
// lookups, the helpers' peak RSS and what the cache holds in memory. The corpus is made with
// ffmpeg once (one file, copied with its title changed) in a folder given as the argument.
//   cmake --build --preset test --target mediainfo_figures
//   bash scripts/netns.sh build/test/bench/mediainfo_figures /tmp/tv-mediainfo-corpus
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "mediainfo/MediaInfo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSongs = 11000;
constexpr int kPage = 100;

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

long StatusKiB(pid_t pid, const char* field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

bool Run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// One tagged song, copied with its title's number changed: every copy is a file of its own.
std::vector<std::string> Songs(const std::string& folder)
{
    std::vector<std::string> paths;
    std::string model = folder + "/model.mp3";
    if (!std::filesystem::exists(model) &&
        !Run("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i sine=duration=2 "
             "-c:a libmp3lame -b:a 64k -metadata title='Track 00000' -metadata artist='Artist' "
             "-metadata album='Album' -metadata track=1 '" +
             model + "'"))
        return paths;
    std::string bytes = ReadAll(model);
    std::size_t at = bytes.find("Track 00000");
    std::filesystem::create_directories(folder + "/songs");
    for (int i = 0; i < kSongs; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/songs/song%05d.mp3", i);
        paths.push_back(folder + name);
        if (std::filesystem::exists(paths.back())) continue;
        char digits[8];
        std::snprintf(digits, sizeof digits, "%05d", i);
        std::memcpy(&bytes[at + 6], digits, 5);
        std::ofstream(paths.back(), std::ios::binary) << bytes;
    }
    return paths;
}

std::vector<std::string> Videos(const std::string& folder)
{
    std::vector<std::string> paths;
    std::string model = folder + "/model.mp4";
    if (!std::filesystem::exists(model) &&
        !Run("ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi "
             "-i testsrc=size=640x360:rate=25:duration=5 -f lavfi -i sine=duration=5 "
             "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac -shortest '" +
             model + "'"))
        return paths;
    std::filesystem::create_directories(folder + "/videos");
    for (int i = 0; i < kPage; ++i) {
        paths.push_back(folder + "/videos/video" + std::to_string(i) + ".mp4");
        if (!std::filesystem::exists(paths.back())) std::filesystem::copy_file(model, paths.back());
    }
    return paths;
}

struct Hooks {
    std::mutex lock;
    std::condition_variable changed;
    int readies = 0;
    static void Ready(void* user) noexcept
    {
        auto* self = static_cast<Hooks*>(user);
        {
            std::scoped_lock hold(self->lock);
            ++self->readies;
        }
        self->changed.notify_all();
    }
    static void Log(void*, const char* line) noexcept { std::fprintf(stderr, "log: %s\n", line); }
};

struct Identified {
    std::string path;
    tv::FileIdentity identity;
    bool settled = false;
};

std::vector<Identified> Identify(const std::vector<std::string>& paths)
{
    std::vector<Identified> files;
    for (const std::string& path : paths) {
        struct stat st {};
        stat(path.c_str(), &st);
        files.push_back({path, tv::FileIdentityOf(st), false});
    }
    return files;
}

// As a Browse would: every file looked up, again after each ready call, until none is
// pending. Returns the seconds it took and counts what is known.
double ListAll(tv::MediaInfo* info, Hooks* hooks, std::vector<Identified> files, int* known)
{
    Clock::time_point start = Clock::now();
    tv::MediaInfoRecord record;
    *known = 0;
    for (;;) {
        int seen = 0;
        {
            std::scoped_lock hold(hooks->lock);
            seen = hooks->readies;
        }
        bool pending = false;
        for (Identified& f : files) {
            if (f.settled) continue;
            tv::MediaInfoStatus status =
                tv::MediaInfo_Lookup(info, f.path.c_str(), f.identity, &record);
            f.settled = status != tv::MediaInfoStatus::kPending;
            *known += status == tv::MediaInfoStatus::kKnown;
            pending |= !f.settled;
        }
        if (!pending) return Seconds(start);
        std::unique_lock hold(hooks->lock);
        hooks->changed.wait(hold, [&] { return hooks->readies > seen; });
    }
}

tv::MediaInfoOptions Options(Hooks* hooks, int helpers, const std::string& cache)
{
    tv::MediaInfoOptions options;
    options.helper_program = TV_MEDIAINFO_HELPER;
    options.helpers = helpers;
    options.keep_on_disk = !cache.empty();
    options.cache_folder = cache;
    options.log = Hooks::Log;
    options.ready = Hooks::Ready;
    options.ready_user = hooks;
    return options;
}

long PeakHelperKiB(tv::MediaInfo* info)
{
    long peak = 0;
    for (pid_t pid : tv::MediaInfo_GetStats(info).helpers)
        peak = std::max(peak, StatusKiB(pid, "VmHWM:"));
    return peak;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string folder = argc > 1 ? argv[1] : "/tmp/tv-mediainfo-corpus";
    std::filesystem::create_directories(folder);
    std::vector<std::string> songs = Songs(folder);
    std::vector<std::string> videos = Videos(folder);
    if (songs.size() != kSongs || videos.size() != kPage) {
        std::fprintf(stderr, "could not make the corpus in %s\n", folder.c_str());
        return 1;
    }
    std::vector<Identified> all = Identify(songs);
    long start_rss = StatusKiB(getpid(), "VmRSS:");
    std::printf("%-58s %12s\n", "measure", "figure");

    for (int helpers : {1, 2}) {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, helpers, ""));
        int known = 0;
        double seconds = ListAll(info, &hooks, all, &known);
        char what[96];
        std::snprintf(what, sizeof what, "cold listing of %d MP3s, %d helper%s (files/s)", kSongs,
                      helpers, helpers > 1 ? "s" : "");
        std::printf("%-58s %12.0f\n", what, known / seconds);
        std::snprintf(what, sizeof what, "  the same in seconds (%d known)", known);
        std::printf("%-58s %12.2f\n", what, seconds);
        std::printf("%-58s %12ld\n", "  helper peak RSS, VmHWM (KiB)", PeakHelperKiB(info));
        tv::MediaInfo_Destroy(info);
    }

    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, 2, ""));
        std::vector<Identified> page(all.begin(), all.begin() + kPage);
        int known = 0;
        std::printf("%-58s %12.1f\n", "cold page of 100 MP3s, helper start included (ms)",
                    ListAll(info, &hooks, page, &known) * 1000);
        std::vector<Identified> next(all.begin() + kPage, all.begin() + 2 * kPage);
        std::printf("%-58s %12.1f\n", "cold page of 100 MP3s, helper running (ms)",
                    ListAll(info, &hooks, next, &known) * 1000);
        std::printf("%-58s %12.1f\n", "cold page of 100 MP4 videos, helper running (ms)",
                    ListAll(info, &hooks, Identify(videos), &known) * 1000);
        std::printf("%-58s %12ld\n", "  helper peak RSS after the videos, VmHWM (KiB)",
                    PeakHelperKiB(info));
        tv::MediaInfo_Destroy(info);
    }

    // Through the cache file: the listing once, then again after a restart, then warm.
    std::string cache = folder + "/cache";
    std::filesystem::remove_all(cache);
    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, 2, cache));
        int known = 0;
        ListAll(info, &hooks, all, &known);
        tv::MediaInfo_Destroy(info);
    }
    std::printf("%-58s %12.0f\n", "cache file for 11,000 entries (KiB)",
                static_cast<double>(std::filesystem::file_size(cache + "/mediainfo.cache")) / 1024);
    {
        Hooks hooks;
        tv::MediaInfo* info = tv::MediaInfo_Create(Options(&hooks, 2, cache));
        int known = 0;
        double seconds = ListAll(info, &hooks, all, &known);
        std::printf("%-58s %12.3f\n", "listing after a restart, from the cache file (s)", seconds);
        std::printf("%-58s %12llu\n", "  helpers started for it",
                    static_cast<unsigned long long>(tv::MediaInfo_GetStats(info).helpers_started));
        Clock::time_point start = Clock::now();
        tv::MediaInfoRecord record;
        constexpr int kRounds = 10;
        for (int round = 0; round < kRounds; ++round)
            for (const Identified& f : all)
                tv::MediaInfo_Lookup(info, f.path.c_str(), f.identity, &record);
        double seconds_warm = Seconds(start);
        std::printf("%-58s %12.0f\n", "warm lookups, one thread (lookups/s)",
                    kRounds * kSongs / seconds_warm);
        tv::MediaInfoStats stats = tv::MediaInfo_GetStats(info);
        std::printf("%-58s %12zu\n", "cache entries", stats.cache_entries);
        std::printf("%-58s %12.0f\n", "cache memory as counted (KiB)",
                    static_cast<double>(stats.cache_bytes) / 1024);
        std::printf("%-58s %12ld\n", "this process's RSS now, less at its start (KiB)",
                    StatusKiB(getpid(), "VmRSS:") - start_rss);
        tv::MediaInfo_Destroy(info);
    }
    return 0;
}
