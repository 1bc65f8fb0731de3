// Whether the display answers before the toolkit is asked to open it: the toolkit waits
// without end on a display that accepts a connection and stays silent, and aborts the program
// on one that refuses it. Speaks just enough of each display protocol to get a first answer.
#pragma once

#include <chrono>
#include <string>

namespace tv {

enum class DisplayAnswer {
    kNoDisplay,  // neither DISPLAY nor WAYLAND_DISPLAY names one
    kAnswers,
    kSilent,   // connected, but no answer in time
    kRefused,  // no connection, closed, or the client was refused
};

// The display a window would use: X11 when DISPLAY is set, else Wayland. `why` says what went
// wrong for every answer but kAnswers. Displays on other hosts are not probed (kAnswers).
DisplayAnswer ProbeDisplay(std::chrono::milliseconds timeout, std::string* why) noexcept;

// The X11 connection set-up on a connected stream socket; `cookie` may be empty.
DisplayAnswer X11SetUp(int fd, const std::string& cookie, std::chrono::milliseconds timeout,
                       std::string* why) noexcept;

// The MIT-MAGIC-COOKIE-1 that an Xauthority file holds for display `number` of local host
// `host`, chosen as the X client library chooses it; empty when there is none.
std::string X11Cookie(const std::string& file, const std::string& host,
                      const std::string& number) noexcept;

}  // namespace tv
