// Taking the system service's identity: the supplementary groups first, then the group,
// then the user, since each step needs the privilege that the next one gives up.
#include "app/ServiceUser.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace tv {

namespace {

struct UserEntry {
    uid_t uid = 0;
    gid_t gid = 0;
};

// False when there is no such user (or it cannot be looked up); *why then says so.
bool LookUp(const char* name, UserEntry* user, std::string* why)
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    int error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr) {
        *why = error == 0 ? std::string("there is no user ") + name + " (is the package installed?)"
                          : std::string("user ") + name + ": " + std::strerror(error);
        return false;
    }
    user->uid = found->pw_uid;
    user->gid = found->pw_gid;
    return true;
}

}  // namespace

bool RunsAs(const char* name) noexcept
{
    UserEntry user;
    std::string ignored;
    return LookUp(name, &user, &ignored) && ::getuid() == user.uid && ::geteuid() == user.uid;
}

ServiceIdentity BecomeServiceUser(const char* name, std::string* why) noexcept
{
    UserEntry user;
    if (!LookUp(name, &user, why)) return ServiceIdentity::kFailed;
    if (::getuid() == user.uid && ::geteuid() == user.uid) return ServiceIdentity::kIsServiceUser;
    if (::geteuid() != 0) return ServiceIdentity::kOtherUser;
    const char* step = nullptr;
    if (::initgroups(name, user.gid) != 0)
        step = "initgroups";
    else if (::setgid(user.gid) != 0)
        step = "setgid";
    else if (::setuid(user.uid) != 0)
        step = "setuid";
    if (step != nullptr) {
        int error = errno;
        *why = std::string("could not become user ") + name + " (" + step +
               "): " + std::strerror(error);
        return ServiceIdentity::kFailed;
    }
    // A setuid that left a way back would leave root's reach behind the edit.
    if (::setuid(0) == 0 || ::getuid() != user.uid || ::geteuid() != user.uid) {
        *why = std::string("could not give up root's identity for user ") + name;
        return ServiceIdentity::kFailed;
    }
    return ServiceIdentity::kBecameServiceUser;
}

}  // namespace tv
