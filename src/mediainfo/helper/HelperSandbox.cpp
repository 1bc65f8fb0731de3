// The helper's confinement: rlimits, PR_SET_NO_NEW_PRIVS and a libseccomp filter whose
// default is to kill the process.
#include "mediainfo/helper/HelperSandbox.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace tv {
namespace {

constexpr rlim_t kAddressSpaceBytes = 1024ULL * 1024 * 1024;
constexpr rlim_t kDescriptors = 32;

bool SetLimit(int resource, rlim_t soft, rlim_t hard, const char* name, std::string* why)
{
    rlimit limit{soft, hard};
    if (setrlimit(resource, &limit) == 0) return true;
    *why = std::string("setrlimit ") + name + ": " + std::strerror(errno);
    return false;
}

// What reading, decoding and answering take once set up: memory, the descriptor it was sent,
// the socket, the clocks, and the ways to end.
constexpr int kAllowed[] = {
    SCMP_SYS(read),
    SCMP_SYS(readv),
    SCMP_SYS(pread64),
    SCMP_SYS(write),
    SCMP_SYS(writev),
    SCMP_SYS(lseek),
    SCMP_SYS(close),
    SCMP_SYS(fstat),
    SCMP_SYS(newfstatat),
    SCMP_SYS(recvmsg),
    SCMP_SYS(sendmsg),
    SCMP_SYS(mmap),
    SCMP_SYS(munmap),
    SCMP_SYS(mremap),
    SCMP_SYS(mprotect),
    SCMP_SYS(madvise),
    SCMP_SYS(brk),
    SCMP_SYS(futex),
    SCMP_SYS(clock_gettime),
    SCMP_SYS(gettimeofday),
    SCMP_SYS(getrusage),
    SCMP_SYS(getrandom),
    SCMP_SYS(sched_getaffinity),
    SCMP_SYS(getpid),
    SCMP_SYS(gettid),
    SCMP_SYS(tgkill),
    SCMP_SYS(rt_sigprocmask),
    SCMP_SYS(rt_sigreturn),
    SCMP_SYS(exit),
    SCMP_SYS(exit_group),
};
constexpr int kRefused[] = {
    SCMP_SYS(open),  SCMP_SYS(openat), SCMP_SYS(openat2),
    SCMP_SYS(creat), SCMP_SYS(socket), SCMP_SYS(connect),
};

}  // namespace

bool HelperSandbox_Limit(std::string* why)
{
    return SetLimit(RLIMIT_AS, kAddressSpaceBytes, kAddressSpaceBytes, "RLIMIT_AS", why) &&
           SetLimit(RLIMIT_CPU, kHelperCpuLimitSeconds, kHelperCpuLimitSeconds + 5, "RLIMIT_CPU",
                    why) &&
           SetLimit(RLIMIT_FSIZE, 0, 0, "RLIMIT_FSIZE", why) &&
           SetLimit(RLIMIT_CORE, 0, 0, "RLIMIT_CORE", why) &&
           SetLimit(RLIMIT_NOFILE, kDescriptors, kDescriptors, "RLIMIT_NOFILE", why) &&
           SetLimit(RLIMIT_NPROC, 0, 0, "RLIMIT_NPROC", why);
}

bool HelperSandbox_Enter(std::string* why)
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        *why = std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
        return false;
    }
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) {
        *why = "seccomp_init failed";
        return false;
    }
    int rc = 0;
    for (int call : kAllowed)
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    for (int call : kRefused)
        if (rc == 0) rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0);
    if (rc == 0) rc = seccomp_load(filter);
    seccomp_release(filter);
    if (rc != 0) *why = std::string("seccomp: ") + std::strerror(-rc);
    return rc == 0;
}

double HelperSandbox_CpuSeconds() noexcept
{
    timespec used{};
    if (clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) != 0) return 0;
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

}  // namespace tv
