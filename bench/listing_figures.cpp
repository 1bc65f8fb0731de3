// Figures for today's listing of one very large folder (not a pass/fail test): Browse pages of
// 100 from a 65,000-file folder at its start, middle and end, cold (the server's listing cache
// emptied before each request; the kernel's dentry cache warm, the folder having been read
// just before) and warm, in the listing's own order and in two orders SortCriteria asks for;
// and the memory the kept listings hold, counted and as the process's resident size, for that
// folder and for eight folders of 20,000 long names (2.6 MiB of listing each) listed one after
// another. The server runs in this process on 127.0.0.1 with its real content source; the
// corpus (empty files) is made once in the folder given as the argument.
//   cmake --build --preset test --target listing_figures
//   bash scripts/netns.sh build/test/bench/listing_figures /tmp/tv-listing-corpus
#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "content/DmsIntegration.h"
#include "content/FileSystemEnumerator.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaTransfer.h"
#include "net/LocalAddresses.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvThreadPool.h"
#include "runtime/ServerContext.h"
#include "shares/SharedFolders.h"
#include "upnp/MicroStack.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFiles = 65000;
constexpr int kPage = 100;
constexpr int kWideFolders = 8;
constexpr int kWideFiles = 20000;

long StatusKiB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}

// A folder of `files` empty files, made in a shuffled order so that the directory's own order
// is not the natural one.
bool MakeFolder(const std::string& folder, int files, const std::string& prefix,
                const std::string& suffix)
{
    if (std::filesystem::exists(folder + "/.complete")) return true;
    std::filesystem::create_directories(folder);
    std::vector<int> numbers(static_cast<std::size_t>(files));
    for (int i = 0; i < files; ++i) numbers[static_cast<std::size_t>(i)] = i + 1;
    std::shuffle(numbers.begin(), numbers.end(), std::mt19937(1));
    for (int n : numbers) {
        std::string path = folder + "/" + prefix + std::to_string(n) + suffix;
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return false;
        ::close(fd);
    }
    std::ofstream(folder + "/.complete");  // hidden: not listed
    return true;
}

std::string XmlEscape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else
            out += c;
    }
    return out;
}

// One Browse on a fresh connection; the whole answer.
std::string Browse(std::uint16_t port, const std::string& id, int start, const char* sort)
{
    std::string body =
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
        "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\"><ObjectID>" +
        XmlEscape(id) +
        "</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter>"
        "<StartingIndex>" +
        std::to_string(start) + "</StartingIndex><RequestedCount>" + std::to_string(kPage) +
        "</RequestedCount><SortCriteria>" + sort +
        "</SortCriteria></u:Browse></s:Body></s:Envelope>";
    std::string request =
        "POST /ContentDirectory/control HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
        "Content-Type: text/xml; charset=\"utf-8\"\r\n"
        "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buffer[65536];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return answer;
}

// NumberReturned of the chunked answer, once its chunks are joined.
int Returned(const std::string& answer)
{
    std::string body;
    std::size_t at = answer.find("\r\n\r\n");
    for (at = at == std::string::npos ? at : at + 4; at < answer.size();) {
        std::size_t eol = answer.find("\r\n", at);
        if (eol == std::string::npos) break;
        unsigned long size = std::strtoul(answer.c_str() + at, nullptr, 16);
        if (size == 0) break;
        body.append(answer, eol + 2, size);
        at = eol + 2 + size + 2;
    }
    at = body.find("<NumberReturned>");
    return at == std::string::npos ? -1 : std::atoi(body.c_str() + at + 16);
}

struct Figures {
    double median_ms = 0;
    double max_ms = 0;
};

Figures Time(int runs, const std::function<void()>& before, const std::function<bool()>& request)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        before();
        auto t0 = Clock::now();
        if (!request()) {
            std::fprintf(stderr, "a Browse failed\n");
            std::exit(1);
        }
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return Figures{ms[ms.size() / 2], ms.back()};
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: listing_figures CORPUS_FOLDER\n");
        return 2;
    }
    const std::string corpus = argv[1];
    const std::string folder = corpus + "/big";
    const std::string wide = corpus + "/wide";
    auto t0 = Clock::now();
    bool made = MakeFolder(folder, kFiles, "track ", ".mp3");
    for (int f = 0; f < kWideFolders && made; ++f)
        made = MakeFolder(wide + "/" + std::to_string(f), kWideFiles,
                          "a name long enough to fill a listing like the titles of concert "
                          "recordings and their many parts do, part ",
                          ".mkv");
    if (!made) {
        std::fprintf(stderr, "could not make the corpus in %s\n", corpus.c_str());
        return 1;
    }
    std::printf("corpus: %d empty files in one folder, %d in each of %d more (%.1f s)\n", kFiles,
                kWideFiles, kWideFolders, std::chrono::duration<double>(Clock::now() - t0).count());
    tv::SharedFolderSet folders;
    tv::SharedFolders_SetSettingsPath(folders, corpus + "/TindravollerDLNA.dat");
    std::vector<std::string> shared = {folder, wide};
    std::string message;
    if (SharedFolders_Save(folders, shared, &message) < 0) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }

    const tv::ServedInterfaces served;
    DeviceRecord device;
    tv::FileIoState file_io;
    tv::TransferRegistry transfers;
    tv::ServerContext context;
    context.served = &served;
    context.device = &device;
    context.file_io = &file_io;
    context.folders = &folders;
    context.transfers = &transfers;
    context.ssdp = false;
    context.options.modern_listing = true;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvThreadPool* pool = OlvThreadPool_Create();
    std::thread worker([pool] { OlvThreadPool_Run(pool); });
    tv::ThreadPoolWaitForWorkers(pool, 1);
    DmsIntegration* dms =
        DmsIntegration_Create(chain, &context, pool, 0, "listing figures",
                              "00000000-0000-0000-0000-000000000001", "1", 0, 0, "", "", "\\");
    if (dms == nullptr) return 1;
    const std::uint16_t port = MicroStack_GetHttpPort(dms->device);
    FSE_Enumerator* fse = dms->enumerator;
    std::thread chain_thread([chain] { OlvChain_Run(chain); });
    // The web server listens from the chain's first turn on.
    for (int i = 0; i < 500 && Browse(port, "0", 0, "").empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    const std::string id = "0\\" + tv::FileIoEscapeFolder(folder) + "\\";
    const long rss_before = StatusKiB("VmRSS:");
    // Reads the folder once: the dentry cache is warm for every cold figure below.
    if (Returned(Browse(port, id, 0, "")) != kPage) {
        std::fprintf(stderr, "the folder did not list\n");
        std::exit(1);
    }
    std::printf(
        "\nBrowse page of %d, whole server path on 127.0.0.1 (cold: the server's listing\n"
        "cache emptied before each request, the kernel's dentry cache warm)\n\n",
        kPage);
    std::printf(
        "| order | index | cold median ms | cold max ms | warm median ms | warm max ms |\n");
    std::printf("|---|---|---|---|---|---|\n");
    for (const char* sort : {"", "-dc:title", "+dc:date"}) {
        for (int index : {0, kFiles / 2, kFiles - kPage}) {
            auto request = [&] { return Returned(Browse(port, id, index, sort)) == kPage; };
            Figures cold = Time(
                7, [&] { tv::FSE_DropCache(fse); }, request);
            request();
            Figures warm = Time(
                15, [] {}, request);
            std::printf("| %s | %d | %.1f | %.1f | %.2f | %.2f |\n", *sort ? sort : "own", index,
                        cold.median_ms, cold.max_ms, warm.median_ms, warm.max_ms);
        }
    }

    auto mib = [](double bytes) { return bytes / (1 << 20); };
    // Every order kept at once, the most the folder can hold.
    for (const char* sort : {"", "-dc:title", "+dc:date", "-dc:date"}) Browse(port, id, 0, sort);
    std::printf(
        "\nkept for the 65,000-file folder (names, positions, kinds and three orders besides its own): %.2f "
        "MiB counted\n",
        mib(static_cast<double>(tv::FSE_CachedBytes(fse))));
    // More than the bound, one folder after another: the oldest go.
    double most = 0;
    for (int f = 0; f < kWideFolders; ++f) {
        std::string wide_id =
            "0\\" + tv::FileIoEscapeFolder(wide) + "\\" + std::to_string(f) + "\\";
        if (Returned(Browse(port, wide_id, 0, "")) != kPage) return 1;
        most = std::max(most, mib(static_cast<double>(tv::FSE_CachedBytes(fse))));
    }
    const long rss_after = StatusKiB("VmRSS:");
    ::malloc_trim(0);
    const long rss_trimmed = StatusKiB("VmRSS:");
    std::printf(
        "after %d more folders of %d long names: at most %.2f MiB counted (the bound over "
        "all kept listings and orders is 8 MiB, plus at most 4,096 kept child counts)\n",
        kWideFolders, kWideFiles, most);
    std::printf(
        "resident size: %.1f MiB before the first Browse, %.1f MiB after all of them, "
        "%.1f MiB once the allocator gave back what it keeps free\n",
        static_cast<double>(rss_before) / 1024, static_cast<double>(rss_after) / 1024,
        static_cast<double>(rss_trimmed) / 1024);

    OlvChain_Stop(chain);
    chain_thread.join();
    OlvThreadPool_Destroy(pool);
    worker.join();
    return 0;
}
