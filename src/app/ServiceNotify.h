// Readiness for a service manager: one datagram such as "READY=1" or "STOPPING=1" to the
// socket named by $NOTIFY_SOCKET (a path, or "@name" for an abstract socket).
#pragma once

// Any thread. Sends nothing when the variable is unset; false when it could not be sent.
bool ServiceNotify(const char* state) noexcept;
