// The device stack's stored texts: the description template and the service description
// pieces of ConnectionManager:1 and ContentDirectory:1. Each stack has the SCPD texts of its
// own, generated from the services' state variables and from the action table it is created
// with, recording where each element lies so that its records can switch single elements off.
#include "upnp/DeviceDocuments.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <span>
#include <string>
#include <string_view>

#include "upnp/MicroStack.h"

namespace tv {

namespace {

// The description in pieces: the protocol's own has them all but Samsung's; today's listing
// offers no uploads, as it takes none.
constexpr std::string_view kDescriptionHead =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
    "   <specVersion>\r\n"
    "      <major>1</major>\r\n"
    "      <minor>0</minor>\r\n"
    "   </specVersion>\r\n"
    "   <device>\r\n"
    "      <deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\r\n";
constexpr std::string_view kDescriptionUploads =
    "      <dlna:X_DLNACAP xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">image-upload,audio-upload,"
    "av-upload,create-child-container</dlna:X_DLNACAP>\r\n";
constexpr std::string_view kDescriptionDlnaDoc =
    "      <dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>\r\n";
constexpr std::string_view kDescriptionSamsung =
    "      <sec:ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">smi,DCM10,"
    "getMediaInfo.sec,getCaptionInfo.sec</sec:ProductCap>\r\n"
    "      <sec:X_ProductCap xmlns:sec=\"http://www.sec.co.kr/dlna\">smi,DCM10,"
    "getMediaInfo.sec,getCaptionInfo.sec</sec:X_ProductCap>\r\n";
constexpr std::string_view kDescriptionTail =
    "      <friendlyName>%s</friendlyName>\r\n"
    "      <manufacturer>%s</manufacturer>\r\n"
    "      <manufacturerURL>%s</manufacturerURL>\r\n"
    "      <modelDescription>%s</modelDescription>\r\n"
    "      <modelName>%s</modelName>\r\n"
    "      <modelNumber>%s</modelNumber>\r\n"
    "      <modelURL>%s</modelURL>\r\n"
    "      <serialNumber>%s</serialNumber>\r\n"
    "      <UDN>uuid:%s</UDN>\r\n"
    "<iconList>\r\n"
    "    <icon>\r\n"
    "         <mimetype>image/jpeg</mimetype>\r\n"
    "        <width>48</width>\r\n"
    "        <height>48</height>\r\n"
    "        <depth>24</depth>\r\n"
    "        <url>/device48.jpg</url>\r\n"
    "    </icon>\r\n"
    "    <icon>\r\n"
    "         <mimetype>image/jpeg</mimetype>\r\n"
    "        <width>32</width>\r\n"
    "        <height>32</height>\r\n"
    "        <depth>24</depth>\r\n"
    "        <url>/device32.jpg</url>\r\n"
    "    </icon>    <icon>\r\n"
    "         <mimetype>image/jpeg</mimetype>\r\n"
    "        <width>120</width>\r\n"
    "        <height>120</height>\r\n"
    "        <depth>24</depth>\r\n"
    "        <url>/device120.jpg</url>\r\n"
    "    </icon></iconList>\r\n"
    "\r\n"
    "   </device>\r\n"
    "</root>";

// The pieces joined at compile time, so that every variant is static text.
template <const std::string_view&... Parts>
constexpr auto kJoined = [] {
    std::array<char, (Parts.size() + ... + 0)> out{};
    auto at = out.begin();
    ((at = std::copy(Parts.begin(), Parts.end(), at)), ...);
    return out;
}();

template <const std::string_view&... Parts>
constexpr std::string_view JoinedView() noexcept
{
    return {kJoined<Parts...>.data(), kJoined<Parts...>.size()};
}

}  // namespace

std::string_view DescriptionTemplate(const ServerOptions& options) noexcept
{
    if (options.media_info)
        return JoinedView<kDescriptionHead, kDescriptionDlnaDoc, kDescriptionSamsung,
                          kDescriptionTail>();
    if (options.modern_listing)
        return JoinedView<kDescriptionHead, kDescriptionDlnaDoc, kDescriptionTail>();
    return JoinedView<kDescriptionHead, kDescriptionUploads, kDescriptionDlnaDoc,
                      kDescriptionTail>();
}

const char kScpdHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion><actionList>";
const std::size_t kScpdHeadLength = sizeof kScpdHead - 1;
static_assert(sizeof kScpdHead - 1 == 157);

namespace {

static_assert(std::size(kContentDirectoryVariables) <= kServiceMaxStateVariables);
static_assert(std::size(kConnectionManagerVariables) <= kServiceMaxStateVariables);
static_assert(std::size(kContentDirectoryVariables) == kCdsVarFeatureList + 1);
static_assert(kContentDirectoryVariables[kCdsVarFeatureList].name == "A_ARG_TYPE_Featurelist");
static_assert(kContentDirectoryVariables[kCdsVarBrowseFlag].name == "A_ARG_TYPE_BrowseFlag");

int Size(const std::string& text)
{
    return static_cast<int>(text.size());
}

// The actionList elements a table gives each service, one after another, and where each lies.
struct StoredActions {
    std::string text[kServiceCount];
    ActionEntry entries[kServiceCount][kServiceMaxActions];
    bool declared[kServiceCount][kServiceMaxActions] = {};
    int count[kServiceCount] = {};
};

void WriteArgument(std::string& a, const ActionArgument& argument, std::string_view direction)
{
    a += "<argument><name>";
    a += argument.name;
    a += "</name><direction>";
    a += direction;
    a += "</direction><relatedStateVariable>";
    a += argument.variable;
    a += "</relatedStateVariable></argument>";
}

void WriteActions(StoredActions* stored, ActionTable table, const ServerOptions& options)
{
    for (const ActionRow& row : table) {
        if (!InMode(row.only_with, options)) continue;
        const int s = row.service;
        const int i = stored->count[s];
        if (i >= kServiceMaxActions) continue;
        std::string& a = stored->text[s];
        const int start = Size(a);
        a += "<action><name>";
        a += row.name;
        a += "</name><argumentList>";
        for (const ActionArgument& input : row.inputs) {
            if (!input.name.empty()) WriteArgument(a, input, "in");
        }
        for (const ActionArgument& output : row.outputs) {
            if (!output.name.empty()) WriteArgument(a, output, "out");
        }
        a += "</argumentList></action>";
        stored->entries[s][i] = ActionEntry{start, Size(a) - start};
        stored->declared[s][i] = row.declared;
        stored->count[s] = i + 1;
    }
}

// One service's state variables and serviceList entry, and its record.
struct StoredService {
    std::string variable_text;
    std::string service_entry;
    StateVariableEntry variables[kServiceMaxStateVariables];
    int variable_count = 0;
    ServiceRecord record;
};

// The state variables' elements in pieces (head, allowed-value list, tail) and where each lies;
// the allowed values themselves are written by the record.
void WriteVariables(StoredService* service, std::span<const StateVariable> variables)
{
    std::string& v = service->variable_text;
    for (std::size_t i = 0; i < variables.size(); ++i) {
        const StateVariable& variable = variables[i];
        StateVariableEntry& entry = service->variables[i];
        entry.head_offset = Size(v);
        v += variable.evented ? "<stateVariable sendEvents=\"yes\">"
                              : "<stateVariable sendEvents=\"no\">";
        v += "<name>";
        v += variable.name;
        v += "</name><dataType>";
        v += variable.type;
        v += "</dataType>";
        entry.head_length = Size(v) - entry.head_offset;
        if (variable.allowed[0] != nullptr) {
            entry.list_open_offset = Size(v);
            v += "<allowedValueList>";
            entry.list_open_length = Size(v) - entry.list_open_offset;
            for (int k = 0; k < 6; ++k) entry.allowed_values[k] = variable.allowed[k];
            entry.list_close_offset = Size(v);
            v += "</allowedValueList>";
            entry.list_close_length = Size(v) - entry.list_close_offset;
        }
        entry.tail_offset = Size(v);
        v += "</stateVariable>";
        entry.tail_length = Size(v) - entry.tail_offset;
    }
    service->variable_count = static_cast<int>(variables.size());
}

// The service's entry in the device description's service list.
void WriteServiceEntry(StoredService* service, std::string_view short_name)
{
    std::string& s = service->service_entry;
    s += "<service><serviceType>urn:schemas-upnp-org:service:";
    s += short_name;
    s += ":1</serviceType><serviceId>urn:upnp-org:serviceId:";
    s += short_name;
    s += "</serviceId><SCPDURL>";
    s += short_name;
    s += "/scpd.xml</SCPDURL><controlURL>";
    s += short_name;
    s += "/control</controlURL><eventSubURL>";
    s += short_name;
    s += "/event</eventSubURL></service>";
}

void Attach(StoredService* service, StoredActions& actions, int s, const ServerOptions& options)
{
    std::span<const StateVariable> declared = ServiceVariables(static_cast<ServiceId>(s));
    ServiceRecord& record = service->record;
    record = ServiceRecord{};
    for (int i = 0; i < kServiceMaxActions; ++i) {
        record.actions[i] =
            i < actions.count[s] && actions.declared[s][i] ? &actions.entries[s][i] : nullptr;
    }
    record.action_count = actions.count[s];
    record.action_text = actions.text[s].c_str();
    for (int i = 0; i < service->variable_count; ++i) {
        record.state_variables[i] = InMode(declared[static_cast<std::size_t>(i)].only_with, options)
                                        ? &service->variables[i]
                                        : nullptr;
    }
    record.state_variable_count = service->variable_count;
    record.state_variable_text = service->variable_text.c_str();
    record.service_list_entry = service->service_entry.c_str();
    record.service_list_entry_length = Size(service->service_entry);
}

}  // namespace

struct ServiceDocuments {
    StoredActions actions;
    StoredService services[kServiceCount];
};

ServiceDocuments* ServiceDocumentsCreate(ActionTable table, const ServerOptions& options) noexcept
{
    auto* documents = new ServiceDocuments;
    WriteActions(&documents->actions, table, options);
    for (int s = 0; s < kServiceCount; ++s) {
        const auto service = static_cast<ServiceId>(s);
        WriteVariables(&documents->services[s], ServiceVariables(service));
        WriteServiceEntry(&documents->services[s], ServiceName(service));
        Attach(&documents->services[s], documents->actions, s, options);
    }
    return documents;
}

void ServiceDocumentsDestroy(ServiceDocuments* documents) noexcept
{
    delete documents;
}

ServiceRecord* ServiceDocumentsRecord(ServiceDocuments* documents, ServiceId service) noexcept
{
    return &documents->services[service].record;
}

}  // namespace tv
