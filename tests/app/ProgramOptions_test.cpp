#include "app/ProgramOptions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <filesystem>

namespace {

tv::OptionsRead Read(std::vector<std::string> args, tv::ProgramOptions* options, std::string* error,
                     bool as_system = false)
{
    args.insert(args.begin(), "tindravoller");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    return tv::ReadProgramOptions(static_cast<int>(argv.size()), argv.data(), options, error,
                                  as_system);
}

bool Names(std::vector<std::string> args, std::string_view option)
{
    args.insert(args.begin(), "tindravoller");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    return tv::CommandLineNames(static_cast<int>(argv.size()), argv.data(), option);
}

TEST(ProgramOptions, AFileLineIsTheLongOptionAndEveryFaultNamesItsLine)
{
    tv::ProgramOptions options;
    std::string error;
    ASSERT_TRUE(
        tv::ApplyConfigText("# today's TVs\n\nmodern\ninterface eth0 # the LAN\n"
                            "port = 8200\nmedia-info no\nsettings /srv/a#b.dat\n",
                            "t.conf", &options, &error))
        << error;
    EXPECT_TRUE(options.server.modern_listing);
    EXPECT_FALSE(options.server.media_info);
    EXPECT_EQ(options.server.interfaces, std::vector<std::string>{"eth0"});
    EXPECT_EQ(options.server.port, 8200);
    EXPECT_EQ(options.settings, "/srv/a#b.dat");

    const std::pair<const char*, const char*> faults[] = {
        {"modern\nshare /x\n", "t.conf:2: unknown option 'share'"},
        {"\n\nmodren\n", "t.conf:3: unknown option 'modren'"},
        {"port 70000\n", "t.conf:1: '70000' is not a port (0 to 65535)"},
        {"port\n", "t.conf:1: 'port' needs a value"},
        {"modern maybe\n", "t.conf:1: 'maybe' is neither yes nor no"},
        {"interface 999.1.1.1\n", "t.conf:1: '999.1.1.1' is not an IPv4 address"},
        {"interface averyveryverylongname\n",
         "t.conf:1: 'averyveryverylongname' is longer than an interface name can be (15 bytes)"},
    };
    for (const auto& [text, expected] : faults) {
        tv::ProgramOptions ignored;
        EXPECT_FALSE(tv::ApplyConfigText(text, "t.conf", &ignored, &error)) << text;
        EXPECT_EQ(error, expected);
    }
}

TEST(ProgramOptions, TheCommandLineWinsOverTheFile)
{
    char folder[] = "/tmp/tv-options-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    std::string conf = std::string(folder) + "/t.conf";
    std::ofstream(conf) << "interface eth0\ninterface eth1\nport 8200\nmedia-info\n";
    tv::ProgramOptions options;
    std::string error;
    ASSERT_EQ(Read({"--config", conf, "--interface", "lan0", "--port", "0"}, &options, &error),
              tv::OptionsRead::kOk)
        << error;
    EXPECT_EQ(options.server.interfaces, std::vector<std::string>{"lan0"});
    EXPECT_EQ(options.server.port, 0);
    EXPECT_TRUE(options.server.modern_listing);  // media information lists today's kinds

    EXPECT_EQ(Read({"--config", std::string(folder) + "/none.conf"}, &options, &error),
              tv::OptionsRead::kBadFile);
    EXPECT_EQ(Read({"--interface", ""}, &options, &error), tv::OptionsRead::kBadCommandLine);
    EXPECT_EQ(error, "--interface: an empty interface name");
    EXPECT_EQ(Read({"--system", "--config", conf}, &options, &error), tv::OptionsRead::kOk);
    EXPECT_EQ(options.settings, tv::kSystemSettingsPath);
    // The service's user reads its list as --system does, unless it names another.
    EXPECT_EQ(Read({"--config", conf}, &options, &error, true), tv::OptionsRead::kOk);
    EXPECT_TRUE(options.system);
    EXPECT_EQ(options.settings, tv::kSystemSettingsPath);
    EXPECT_EQ(Read({"--settings", "/srv/x.dat"}, &options, &error, true), tv::OptionsRead::kOk);
    EXPECT_EQ(options.settings, "/srv/x.dat");
    std::filesystem::remove_all(folder);
}

// Who runs the program is decided from the command line before any file is read: a value is
// never taken for an option, so a folder named --system switches no identity.
TEST(ProgramOptions, TheCommandLineIsReadForAnOptionAsItIsReadForUse)
{
    EXPECT_TRUE(Names({"--list", "--system"}, "system"));
    EXPECT_FALSE(Names({"--share", "--system"}, "system"));
    EXPECT_TRUE(Names({"-h"}, "help"));
    EXPECT_FALSE(Names({"--system", "--no-such-option"}, "system"));
}

}  // namespace
