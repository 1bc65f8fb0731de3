// Ways of sending a file as the body of a chunked answer (16384-byte chunks) over loopback TCP,
// measured side by side with one sendfile of the whole file without framing (what a server
// that answers with a Content-Length can do). Prints the rate and the CPU seconds per GiB of
// the sending thread and of the reading thread, for one stream and for four at once.
//   cmake --build --preset bench --target stream_ways
//   bash scripts/netns.sh build/bench/bench/stream_ways FILE [RUNS]
// FILE is best a real (not sparse) file of about 1 GiB, read once beforehand so that it sits in
// the page cache. Not a test: figures only.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlock = 16384;
constexpr std::size_t kWindowBlocks = 16;
constexpr std::size_t kWindow = kWindowBlocks * kBlock;
constexpr char kLineEnd[] = "\r\n";

enum class Way { PreadBlock, PreadWindow, MapWindow, SendfileBlock, SplicePipe, SendfileWhole };

struct WayName {
    Way way;
    const char* name;
};
constexpr WayName kWays[] = {
    {Way::PreadBlock, "pread + sendmsg per block"},
    {Way::PreadWindow, "preadv + sendmsg per window"},
    {Way::MapWindow, "mapped window + sendmsg"},
    {Way::SendfileBlock, "sendfile per block, MSG_MORE"},
    {Way::SplicePipe, "splice through a pipe"},
    {Way::SendfileWhole, "sendfile whole, no framing"},
};

double ThreadCpuSeconds()
{
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

[[noreturn]] void Fail(const char* what)
{
    std::perror(what);
    std::exit(1);
}

void SendVector(int s, iovec* v, std::size_t count, int flags)
{
    while (count > 0) {
        msghdr message{};
        message.msg_iov = v;
        message.msg_iovlen = count;
        ssize_t sent = ::sendmsg(s, &message, flags | MSG_NOSIGNAL);
        if (sent <= 0) Fail("sendmsg");
        auto n = static_cast<std::size_t>(sent);
        while (count > 0 && n >= v->iov_len) {
            n -= v->iov_len;
            ++v;
            --count;
        }
        if (count > 0) {
            v->iov_base = static_cast<char*>(v->iov_base) + n;
            v->iov_len -= n;
        }
    }
}

void SendText(int s, const char* text, std::size_t length, int flags)
{
    iovec v{const_cast<char*>(text), length};
    SendVector(s, &v, 1, flags);
}

// The framing of a window: each block's size line, the block, its line end.
std::size_t Frame(iovec* v, char (*lines)[24], char* data, std::size_t length)
{
    std::size_t count = 0;
    for (std::size_t at = 0, i = 0; at < length; at += kBlock, ++i) {
        const std::size_t n = std::min(kBlock, length - at);
        const int k = std::snprintf(lines[i], sizeof lines[i], "%zX\r\n", n);
        v[count++] = {lines[i], static_cast<std::size_t>(k)};
        v[count++] = {data + at, n};
        v[count++] = {const_cast<char*>(kLineEnd), 2};
    }
    return count;
}

void SendfileAll(int s, int fd, off_t at, std::size_t length)
{
    while (length > 0) {
        ssize_t n = ::sendfile(s, fd, &at, length);
        if (n <= 0) Fail("sendfile");
        length -= static_cast<std::size_t>(n);
    }
}

void SpliceAll(int from, loff_t* at, int to, std::size_t length)
{
    while (length > 0) {
        ssize_t n = ::splice(from, at, to, nullptr, length, SPLICE_F_MORE);
        if (n <= 0) Fail("splice");
        length -= static_cast<std::size_t>(n);
    }
}

// One window (or block) of the body at `at`, sent the given way.
void SendPart(Way way, int s, int fd, std::size_t at, std::size_t length, char* buffer,
              const int* pipe_ends)
{
    char lines[kWindowBlocks][24];
    iovec v[3 * kWindowBlocks];
    switch (way) {
    case Way::PreadBlock:
    case Way::PreadWindow: {
        if (::pread(fd, buffer, length, static_cast<off_t>(at)) != static_cast<ssize_t>(length))
            Fail("pread");
        SendVector(s, v, Frame(v, lines, buffer, length), 0);
        return;
    }
    case Way::MapWindow: {
        void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd,
                           static_cast<off_t>(at));
        if (map == MAP_FAILED) Fail("mmap");
        SendVector(s, v, Frame(v, lines, static_cast<char*>(map), length), 0);
        ::munmap(map, length);
        return;
    }
    case Way::SendfileBlock:
    case Way::SplicePipe: {
        std::size_t in_pipe = 0;  // the window goes on into the socket in one splice
        for (std::size_t done = 0; done < length; done += kBlock) {
            const std::size_t n = std::min(kBlock, length - done);
            // The line end of the block before goes with this block's size line.
            const int k = std::snprintf(lines[0], sizeof lines[0], "%s%zX\r\n",
                                        at + done == 0 ? "" : kLineEnd, n);
            if (way == Way::SendfileBlock) {
                SendText(s, lines[0], static_cast<std::size_t>(k), MSG_MORE);
                SendfileAll(s, fd, static_cast<off_t>(at + done), n);
            } else {
                if (::write(pipe_ends[1], lines[0], static_cast<std::size_t>(k)) != k)
                    Fail("write");
                loff_t from = static_cast<loff_t>(at + done);
                SpliceAll(fd, &from, pipe_ends[1], n);
                in_pipe += static_cast<std::size_t>(k) + n;
            }
        }
        if (in_pipe > 0) SpliceAll(pipe_ends[0], nullptr, s, in_pipe);
        return;
    }
    case Way::SendfileWhole:
        SendfileAll(s, fd, static_cast<off_t>(at), length);
        return;
    }
}

void Serve(Way way, int s, int fd, std::size_t size)
{
    std::vector<char> buffer(kWindow);
    int pipe_ends[2] = {-1, -1};
    if (way == Way::SplicePipe) {
        if (::pipe(pipe_ends) != 0) Fail("pipe");
        ::fcntl(pipe_ends[1], F_SETPIPE_SZ, 1 << 20);
    }
    const std::size_t step = way == Way::PreadBlock      ? kBlock
                             : way == Way::SendfileWhole ? size
                                                         : kWindow;
    for (std::size_t at = 0; at < size; at += step)
        SendPart(way, s, fd, at, std::min(step, size - at), buffer.data(), pipe_ends);
    if (way == Way::SendfileBlock || way == Way::SplicePipe)
        SendText(s, "\r\n0\r\n\r\n", 7, 0);
    else if (way != Way::SendfileWhole)
        SendText(s, "0\r\n\r\n", 5, 0);
    for (int end : pipe_ends)
        if (end >= 0) ::close(end);
}

struct Figures {
    double server_cpu = 0;
    double reader_cpu = 0;
};

// One stream: a listening socket, a reader that connects and reads everything, the sender.
void Stream(Way way, int fd, std::size_t size, Figures* figures)
{
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t address_length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &address_length) != 0 ||
        ::listen(listener, 1) != 0) {
        Fail("listen");
    }
    std::thread reader([&] {
        const double start = ThreadCpuSeconds();
        int c = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(c, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            Fail("connect");
        std::vector<char> sink(256 * 1024);
        while (::recv(c, sink.data(), sink.size(), 0) > 0) {
        }
        ::close(c);
        figures->reader_cpu = ThreadCpuSeconds() - start;
    });
    int s = ::accept(listener, nullptr, nullptr);
    const double start = ThreadCpuSeconds();
    Serve(way, s, fd, size);
    figures->server_cpu = ThreadCpuSeconds() - start;
    ::shutdown(s, SHUT_WR);
    ::close(s);
    reader.join();
    ::close(listener);
}

void Measure(const WayName& way, int fd, std::size_t size, int streams)
{
    std::vector<Figures> figures(static_cast<std::size_t>(streams));
    std::vector<std::thread> senders;
    const auto start = std::chrono::steady_clock::now();
    for (Figures& f : figures) senders.emplace_back(Stream, way.way, fd, size, &f);
    for (std::thread& t : senders) t.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Figures sum;
    for (const Figures& f : figures) {
        sum.server_cpu += f.server_cpu;
        sum.reader_cpu += f.reader_cpu;
    }
    const double gib = streams * static_cast<double>(size) / (1024.0 * 1024 * 1024);
    std::printf("| %-30s | %d | %6.0f | %.3f | %.3f |\n", way.name, streams, gib * 1024 / seconds,
                sum.server_cpu / gib, sum.reader_cpu / gib);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: stream_ways FILE [RUNS]\n");
        return 2;
    }
    int fd = ::open(argv[1], O_RDONLY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) Fail(argv[1]);
    const auto size = static_cast<std::size_t>(st.st_size);
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::printf("| way | streams | MiB/s | sender CPU s/GiB | reader CPU s/GiB |\n");
    std::printf("|---|---|---|---|---|\n");
    for (int streams : {1, 4})
        for (int run = 0; run < runs; ++run)
            for (const WayName& way : kWays) Measure(way, fd, size, streams);
    ::close(fd);
    return 0;
}
