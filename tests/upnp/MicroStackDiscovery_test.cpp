// Third-party SSDP clients find the device and its two services, and the description they
// point at is fetched with curl and is well-formed XML to xmllint. Runs only in a private
// network namespace and with the clients the machine has (gssdp-discover and the GSSDP
// library's Python binding, each where installed; curl; xmllint).
#include "upnp/MicroStack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "upnp_test_support.h"

namespace {

constexpr char kBrowser[] = R"(import sys, gi
gi.require_version('GSSDP', '1.6')
from gi.repository import GSSDP, GLib
client = GSSDP.Client.new_full('lo', None, 0, GSSDP.UDAVersion.VERSION_1_0)
browser = GSSDP.ResourceBrowser.new(client, 'ssdp:all')
def available(browser, usn, locations):
    print('USN: ' + usn)
    for location in locations:
        print('Location: ' + location)
    sys.stdout.flush()
browser.connect('resource-available', available)
browser.set_active(True)
loop = GLib.MainLoop()
GLib.timeout_add(int(float(sys.argv[1]) * 1000), loop.quit)
loop.run()
)";

// Output and exit status of a shell command.
std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int raw = ::pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

bool Available(const std::string& command)
{
    int status = 0;
    RunCommand(command + " >/dev/null 2>&1", &status);
    return status == 0;
}

// The first "Location:" value after a "USN:" line naming `usn` whose URL ends with "/". Both
// clients print "USN:" and "Location:" lines, gssdp-discover indented and with several blanks
// after the colon. Other devices (tests running beside this one) answer in the same namespace.
std::string FirstLocation(const std::string& output, const std::string& usn)
{
    std::istringstream lines(output);
    std::string line;
    bool ours = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string key;
        std::string value;
        words >> key >> value;
        if (key == "USN:") ours = value == usn;
        if (ours && key == "Location:" && !value.empty() && value.back() == '/') return value;
    }
    return "";
}

TEST(MicroStackDiscovery, ThirdPartyClientFindsTheDeviceAndItsServices)
{
    if (!tv::test::InNamespace())
        GTEST_SKIP() << "multicast tests run only in a private network namespace";
    const bool discover = Available("command -v gssdp-discover");
    const bool binding = Available(
        "/usr/bin/python3 -c \"import gi; gi.require_version('GSSDP', '1.6'); from gi.repository import GSSDP\"");
    if (!discover && !binding) GTEST_SKIP() << "neither gssdp-discover nor the GSSDP binding";
    if (!Available("command -v curl") || !Available("command -v xmllint"))
        GTEST_SKIP() << "curl or xmllint missing";

    const std::string udn = "D15C0VE7-0000-4000-8000-" + std::to_string(::getpid());
    tv::test::StackHost host(true, udn.c_str(), "Tindravoller DLNA - discovery -");
    host.Start();
    const std::string usn = "uuid:" + udn;

    // Each client the machine has: the tool and the library's Python binding.
    std::string location;
    for (bool tool : {true, false}) {
        if (tool ? !discover : !binding) continue;
        std::string script = "/tmp/tv_ssdp_browse_" + std::to_string(::getpid()) + ".py";
        if (!tool) std::ofstream(script) << kBrowser;
        std::string command = tool ? "timeout 20 gssdp-discover -i lo --timeout=4 2>&1"
                                   : "timeout 20 /usr/bin/python3 " + script + " 4 2>&1";
        int status = -1;
        std::string output = RunCommand(command, &status);
        if (!tool) std::remove(script.c_str());
        SCOPED_TRACE(command);
        EXPECT_EQ(status, 0) << output;
        for (const char* suffix : {"::urn:schemas-upnp-org:device:MediaServer:1",
                                   "::urn:schemas-upnp-org:service:ConnectionManager:1",
                                   "::urn:schemas-upnp-org:service:ContentDirectory:1"})
            EXPECT_NE(output.find(usn + suffix), std::string::npos) << output;
        location = FirstLocation(output, usn + "::urn:schemas-upnp-org:device:MediaServer:1");
        ASSERT_EQ(location, "http://127.0.0.1:" + std::to_string(host.port()) + "/") << output;
    }

    int status = -1;
    std::string document = RunCommand("curl -s --max-time 10 " + location, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(document.find("<UDN>" + usn + "</UDN>"), std::string::npos) << document;
    std::string errors =
        RunCommand("curl -s --max-time 10 " + location + " | xmllint --noout - 2>&1", &status);
    EXPECT_EQ(status, 0) << errors;
    for (const char* scpd : {"ContentDirectory/scpd.xml", "ConnectionManager/scpd.xml"}) {
        std::string scpd_errors = RunCommand(
            "curl -s --max-time 10 " + location + scpd + " | xmllint --noout - 2>&1", &status);
        EXPECT_EQ(status, 0) << scpd << ": " << scpd_errors;
    }
}

}  // namespace
