// How the server serves: what the command line and the configuration file decide for every
// layer. Plain data, fixed before the server starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tv {

struct ServerOptions {
    // Interface names or single addresses to serve; empty serves every interface.
    std::vector<std::string> interfaces;
    std::uint16_t port = 0;  // the web server's; 0 draws one in 50000..64999
    bool follow_links_out = false;
    // What today's TVs expect beside what the protocol fixes: today's file kinds, hidden
    // entries left out, natural order, true child counts, change events, transfers with a
    // length. Off, every answer is the protocol's own.
    bool modern_listing = false;
    // Titles, tags, durations, cover art and subtitles, read by the media information helper.
    bool media_info = false;
};

}  // namespace tv
