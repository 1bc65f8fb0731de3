// The system service's user: the identity under which the system's folder list is read,
// checked and written, so that the list stays that user's and a folder it cannot read is
// refused at the edit instead of being listed empty by the running service.
#pragma once

#include <string>

namespace tv {

enum class ServiceIdentity {
    kIsServiceUser,      // running as the service's user already
    kBecameServiceUser,  // was root; now the service's user, for good
    kOtherUser,          // neither root nor the service's user: nothing changed
    kFailed,             // no such user, or the change of identity failed: *why says
};

// Whether this process runs as user `name` (getuid and geteuid both).
bool RunsAs(const char* name) noexcept;

// As root: initgroups, setgid and setuid to user `name`, for the rest of the process, before
// anything is read. As that user: nothing to do. Main thread, before any other thread starts.
ServiceIdentity BecomeServiceUser(const char* name, std::string* why) noexcept;

}  // namespace tv
