#include "app/ProgramOptions.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string_view>

namespace tv {

const char kProgramUsage[] =
    "Usage: tindravoller [options]\n"
    "\n"
    "Publishes the media files of the shared folders to UPnP AV / DLNA players on the\n"
    "local network. With a display it opens its window; without one it runs headless.\n"
    "\n"
    "  --headless         run without a window: the log goes to standard output and\n"
    "                     SIGINT or SIGTERM stops the server (goodbye messages are sent);\n"
    "                     once it answers it prints where players reach it, the folder\n"
    "                     list it reads, and with nothing shared how to share a folder\n"
    "  --share DIR        add DIR to the shared folders and save the list; a folder\n"
    "                     listed already is not added again, and one that you (or with\n"
    "                     --system the service's user) cannot read and enter is refused\n"
    "  --unshare DIR      remove DIR from the shared folders (every entry naming it) and\n"
    "                     save the list\n"
    "  --list             print the shared folders, one a line (of a damaged settings\n"
    "                     file: the folders that can still be read)\n"
    "  --recover-settings keep a damaged settings file beside it as FILE.bad and start\n"
    "                     a new list with the folders that can still be read\n"
    "  --settings FILE    keep the shared folders in FILE instead of\n"
    "                     <documents folder>/TindravollerDLNA.dat\n"
    "                     (the TINDRAVOLLER_SETTINGS environment variable does the same)\n"
    "  --system           the system service's folder list and configuration\n"
    "                     (/var/lib/tindravoller/TindravollerDLNA.dat, /etc/tindravoller.conf),\n"
    "                     read and written as its user tindravoller: run as root, the\n"
    "                     program becomes that user first (sudo tindravoller --system\n"
    "                     --share DIR). Run as that user, it is the default.\n"
    "  --interface NAME   serve only on this network interface (a name such as eth0), or\n"
    "                     only on this one IPv4 address of the machine; repeat it for\n"
    "                     more. Without it every interface is served. 127.0.0.1 is\n"
    "                     always served, for players on this machine. The server is\n"
    "                     neither announced nor answers on the others.\n"
    "  --port N           serve HTTP on port N (for a firewall rule); without it a free\n"
    "                     port in 50000..64999 is drawn at every start. A port that is\n"
    "                     taken stops the start.\n"
    "  --follow-links-out follow symbolic links that lead out of the shared folders\n"
    "                     (by default such links are neither listed nor served)\n"
    "  --modern           serve what today's TVs expect: both options below\n"
    "  --modern-listing   today's file kinds (mkv, flac, m4a, webm...), hidden files left\n"
    "                     out, folders in natural order with true child counts, change\n"
    "                     events when files come and go, and transfers with a length, so\n"
    "                     that every player can seek\n"
    "  --media-info       titles, artists, albums, durations, resolutions, cover art and\n"
    "                     subtitles, read from the files by a sandboxed helper and kept\n"
    "                     in a cache (implies --modern-listing)\n"
    "  --config FILE      read options from FILE instead of the user's\n"
    "                     $XDG_CONFIG_HOME/tindravoller/tindravoller.conf (one option a\n"
    "                     line without its dashes, '#' starts a comment; the command line\n"
    "                     wins)\n"
    "  --version          print the program's version\n"
    "  --help             show this text\n"
    "\n"
    "Without options the server answers exactly as the UPnP AV protocol fixes it.\n"
    "--share, --unshare, --list and --recover-settings end the program after they are\n"
    "done, unless --headless is given too; they exit with 1 and say why when the list\n"
    "cannot be read or saved. A shared folder is added or removed while the server runs:\n"
    "the next Browse sees it. A server that cannot start (its port is taken) exits with\n"
    "1; a wrong option or configuration line, with 2.\n";

namespace {

using ApplyFn = bool (*)(ProgramOptions& options, std::string_view value, std::string* why);

struct OptionSpec {
    std::string_view name;  // without its dashes: also the key in a configuration file
    bool takes_value;       // a value follows (a flag in a file may carry yes or no)
    bool in_file;           // may stand in a configuration file
    ApplyFn apply;
};

// A flag's value in a file: none (on), or one of the usual words.
bool Switch(std::string_view value, bool* on, std::string* why)
{
    for (std::string_view yes : {"", "yes", "true", "on", "1"})
        if (value == yes) return *on = true;
    for (std::string_view no : {"no", "false", "off", "0"}) {
        if (value == no) {
            *on = false;
            return true;
        }
    }
    *why = "'" + std::string(value) + "' is neither yes nor no";
    return false;
}

template <bool ProgramOptions::*Field>
bool SetFlag(ProgramOptions& options, std::string_view value, std::string* why)
{
    return Switch(value, &(options.*Field), why);
}

template <bool ServerOptions::*Field>
bool SetServerFlag(ProgramOptions& options, std::string_view value, std::string* why)
{
    return Switch(value, &(options.server.*Field), why);
}

bool SetModern(ProgramOptions& options, std::string_view value, std::string* why)
{
    bool on = false;
    if (!Switch(value, &on, why)) return false;
    options.server.modern_listing = options.server.media_info = on;
    return true;
}

template <std::vector<std::string> ProgramOptions::*Field>
bool AddText(ProgramOptions& options, std::string_view value, std::string*)
{
    (options.*Field).emplace_back(value);
    return true;
}

template <std::string ProgramOptions::*Field>
bool SetText(ProgramOptions& options, std::string_view value, std::string* why)
{
    if (value.empty()) {
        *why = "an empty file name";
        return false;
    }
    options.*Field = std::string(value);
    return true;
}

bool AddInterface(ProgramOptions& options, std::string_view value, std::string* why)
{
    std::string problem = InterfaceValueProblem(std::string(value));
    if (!problem.empty()) {
        *why = problem;
        return false;
    }
    options.server.interfaces.emplace_back(value);
    return true;
}

bool SetPort(ProgramOptions& options, std::string_view value, std::string* why)
{
    unsigned port = 0;
    bool digits = !value.empty() && value.size() <= 5;
    for (char c : value) {
        digits = digits && c >= '0' && c <= '9';
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits || port > 65535) {
        *why = "'" + std::string(value) + "' is not a port (0 to 65535)";
        return false;
    }
    options.server.port = static_cast<std::uint16_t>(port);
    return true;
}

constexpr OptionSpec kOptions[] = {
    {"help", false, false, SetFlag<&ProgramOptions::help>},
    {"version", false, false, SetFlag<&ProgramOptions::version>},
    {"headless", false, false, SetFlag<&ProgramOptions::headless>},
    {"list", false, false, SetFlag<&ProgramOptions::list>},
    {"recover-settings", false, false, SetFlag<&ProgramOptions::recover>},
    {"system", false, false, SetFlag<&ProgramOptions::system>},
    {"share", true, false, AddText<&ProgramOptions::share>},
    {"unshare", true, false, AddText<&ProgramOptions::unshare>},
    {"config", true, false, SetText<&ProgramOptions::config>},
    {"settings", true, true, SetText<&ProgramOptions::settings>},
    {"interface", true, true, AddInterface},
    {"port", true, true, SetPort},
    {"follow-links-out", false, true, SetServerFlag<&ServerOptions::follow_links_out>},
    {"modern", false, true, SetModern},
    {"modern-listing", false, true, SetServerFlag<&ServerOptions::modern_listing>},
    {"media-info", false, true, SetServerFlag<&ServerOptions::media_info>},
};

const OptionSpec* FindOption(std::string_view name)
{
    for (const OptionSpec& spec : kOptions)
        if (spec.name == name) return &spec;
    return nullptr;
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// A comment begins at a "#" that starts the line or follows a blank, so that a path may
// hold one.
std::string_view WithoutComment(std::string_view line)
{
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] == '#' && (at == 0 || line[at - 1] == ' ' || line[at - 1] == '\t'))
            return line.substr(0, at);
    }
    return line;
}

struct CommandLineItem {
    const OptionSpec* spec;
    std::string value;
};

bool SplitCommandLine(int argc, char** argv, std::vector<CommandLineItem>* items,
                      std::string* error)
{
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        const OptionSpec* spec = nullptr;
        if (arg == "-h") {
            spec = FindOption("help");
        } else if (arg.starts_with("--")) {
            spec = FindOption(arg.substr(2));
        }
        if (spec == nullptr) {
            *error = "unknown option '" + std::string(arg) + "'";
            return false;
        }
        std::string value;
        if (spec->takes_value) {
            if (i + 1 >= argc) {
                *error = "missing value for '" + std::string(arg) + "'";
                return false;
            }
            value = argv[++i];
        }
        items->push_back({spec, std::move(value)});
    }
    return true;
}

// Reads the whole file; false with the reason.
bool ReadText(const std::string& path, std::string* text, int* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = errno;
        return false;
    }
    std::ostringstream all;
    all << in.rdbuf();
    *text = all.str();
    return true;
}

}  // namespace

std::string InterfaceValueProblem(const std::string& value) noexcept
{
    if (value.empty()) return "an empty interface name";
    if (value.find_first_not_of("0123456789.") == std::string::npos) {
        in_addr address{};
        if (inet_pton(AF_INET, value.c_str(), &address) != 1)
            return "'" + value + "' is not an IPv4 address";
        return {};
    }
    if (value.size() >= IF_NAMESIZE)
        return "'" + value + "' is longer than an interface name can be (" +
               std::to_string(IF_NAMESIZE - 1) + " bytes)";
    if (value == "." || value == ".." || value.find_first_of("/ \t\n") != std::string::npos)
        return "'" + value + "' cannot be an interface name";
    return {};
}

std::string UserConfigPath() noexcept
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/tindravoller/tindravoller.conf";
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') return {};
    return std::string(home) + "/.config/tindravoller/tindravoller.conf";
}

bool ApplyConfigText(const std::string& text, const std::string& name, ProgramOptions* options,
                     std::string* error) noexcept
{
    std::string_view rest = text;
    for (int number = 1; !rest.empty(); ++number) {
        std::size_t end = rest.find('\n');
        std::string_view line = Trimmed(WithoutComment(rest.substr(0, end)));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (line.empty()) continue;
        std::size_t gap = line.find_first_of(" \t=");
        std::string_view key = line.substr(0, gap);
        std::string_view value = gap == std::string_view::npos ? "" : Trimmed(line.substr(gap));
        if (!value.empty() && value.front() == '=') value = Trimmed(value.substr(1));
        const OptionSpec* spec = FindOption(key);
        std::string why;
        if (spec == nullptr || !spec->in_file) {
            why = "unknown option '" + std::string(key) + "'";
        } else if (spec->takes_value && value.empty()) {
            why = "'" + std::string(key) + "' needs a value";
        } else {
            spec->apply(*options, value, &why);
        }
        if (!why.empty()) {
            *error = name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool CommandLineNames(int argc, char** argv, std::string_view name) noexcept
{
    std::vector<CommandLineItem> items;
    std::string ignored;
    if (!SplitCommandLine(argc, argv, &items, &ignored)) return false;
    for (const CommandLineItem& item : items)
        if (item.spec->name == name) return true;
    return false;
}

OptionsRead ReadProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error,
                               bool as_system) noexcept
{
    std::vector<CommandLineItem> items;
    if (!SplitCommandLine(argc, argv, &items, error)) return OptionsRead::kBadCommandLine;
    ProgramOptions given;
    given.system = as_system;
    for (const CommandLineItem& item : items) {
        std::string why;
        if (item.spec->name == "config" || item.spec->name == "system" ||
            item.spec->name == "help" || item.spec->name == "version") {
            item.spec->apply(given, item.value, &why);
        }
    }
    *options = ProgramOptions{};
    options->system = as_system;
    if (given.help || given.version) {
        options->help = given.help;
        options->version = given.version;
        return OptionsRead::kOk;
    }
    std::string path = !given.config.empty() ? given.config
                       : given.system        ? std::string(kSystemConfigPath)
                                             : UserConfigPath();
    bool must_exist = !given.config.empty();
    std::string text;
    int open_error = 0;
    if (!path.empty()) {
        if (ReadText(path, &text, &open_error)) {
            if (!ApplyConfigText(text, path, options, error)) return OptionsRead::kBadFile;
        } else if (must_exist || open_error != ENOENT) {
            *error = path + ": " + std::strerror(open_error);
            return OptionsRead::kBadFile;
        }
    }
    bool interfaces_given = false;
    for (const CommandLineItem& item : items) {
        if (item.spec->name == "interface" && !interfaces_given) {
            options->server.interfaces.clear();  // the command line's list replaces the file's
            interfaces_given = true;
        }
        std::string why;
        if (!item.spec->apply(*options, item.value, &why)) {
            *error = "--" + std::string(item.spec->name) + ": " + why;
            return OptionsRead::kBadCommandLine;
        }
    }
    if (options->system && options->settings.empty()) options->settings = kSystemSettingsPath;
    if (options->server.media_info) options->server.modern_listing = true;
    return OptionsRead::kOk;
}

}  // namespace tv
