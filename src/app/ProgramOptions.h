// The program's options, from the command line and from a configuration file: one table of
// options serves both, so a key of the file is always the long option without its dashes.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/ServerOptions.h"

namespace tv {

struct ProgramOptions {
    bool help = false;
    bool version = false;
    bool headless = false;
    bool list = false;
    bool recover = false;
    bool system = false;  // the system service's list and configuration
    std::vector<std::string> share;
    std::vector<std::string> unshare;
    std::string settings;  // the folder list file; empty for the default
    std::string config;    // --config; empty for the user's file, if there is one
    ServerOptions server;
};

// Where the system service keeps its configuration and its folder list, and its user.
inline constexpr const char kSystemConfigPath[] = "/etc/tindravoller.conf";
inline constexpr const char kSystemSettingsPath[] = "/var/lib/tindravoller/TindravollerDLNA.dat";
inline constexpr const char kServiceUser[] = "tindravoller";

// The --help text.
extern const char kProgramUsage[];

enum class OptionsRead {
    kOk,
    kBadCommandLine,  // an unknown option, a missing or bad value
    kBadFile,         // the configuration file cannot be read, or a line of it is wrong
};

// Reads the command line: the configuration file it names (or the system's with --system, or
// else the user's when there is one) first, then the command line over it; a list the command
// line gives (--interface) replaces the file's. `as_system` reads it as if --system were
// given. *error says what is wrong ("FILE:LINE: reason" for a line of the file).
OptionsRead ReadProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error,
                               bool as_system = false) noexcept;

// Whether the command line gives the option `name` (without its dashes), read as
// ReadProgramOptions reads it, so that a value is never taken for an option. False for a
// command line that cannot be read.
bool CommandLineNames(int argc, char** argv, std::string_view name) noexcept;

// The lines of a configuration file, applied in order; `name` is used in messages.
bool ApplyConfigText(const std::string& text, const std::string& name, ProgramOptions* options,
                     std::string* error) noexcept;

// $XDG_CONFIG_HOME/tindravoller/tindravoller.conf, else ~/.config/...; empty without a home.
std::string UserConfigPath() noexcept;

// A malformed --interface value (a dotted address that is none, an empty name or one no
// interface could have): the reason, else empty.
std::string InterfaceValueProblem(const std::string& value) noexcept;

}  // namespace tv
