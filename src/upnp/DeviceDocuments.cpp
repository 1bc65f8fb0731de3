// The device stack's stored texts: the description template and the service description
// pieces of ConnectionManager:1 and ContentDirectory:1. The SCPD texts are generated once from
// the action and variable tables below, recording where each element lies so that the
// records can switch single elements off.
#include "upnp/DeviceDocuments.h"

#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "upnp/MicroStack.h"

namespace tv {

const char kDescriptionTemplate[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">\r\n"
    "   <specVersion>\r\n"
    "      <major>1</major>\r\n"
    "      <minor>0</minor>\r\n"
    "   </specVersion>\r\n"
    "   <device>\r\n"
    "      <deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\r\n"
    "      <dlna:X_DLNACAP xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">image-upload,audio-upload,"
    "av-upload,create-child-container</dlna:X_DLNACAP>\r\n"
    "      <dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>\r\n"
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
const std::size_t kDescriptionTemplateLength = sizeof kDescriptionTemplate - 1;

const char kScpdHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion><actionList>";
const std::size_t kScpdHeadLength = sizeof kScpdHead - 1;
static_assert(sizeof kScpdHead - 1 == 157);

namespace {

struct ArgumentSpec {
    std::string_view name;
    bool out;
    std::string_view variable;
};

struct ActionSpec {
    std::string_view name;
    const ArgumentSpec* arguments;
    int argument_count;
};

struct VariableSpec {
    std::string_view name;
    std::string_view type;
    bool evented;
    const char* allowed[6];
};

constexpr ArgumentSpec kCmsIds[] = {{"ConnectionIDs", true, "CurrentConnectionIDs"}};
constexpr ArgumentSpec kCmsInfo[] = {
    {"ConnectionID", false, "A_ARG_TYPE_ConnectionID"},
    {"RcsID", true, "A_ARG_TYPE_RcsID"},
    {"AVTransportID", true, "A_ARG_TYPE_AVTransportID"},
    {"ProtocolInfo", true, "A_ARG_TYPE_ProtocolInfo"},
    {"PeerConnectionManager", true, "A_ARG_TYPE_ConnectionManager"},
    {"PeerConnectionID", true, "A_ARG_TYPE_ConnectionID"},
    {"Direction", true, "A_ARG_TYPE_Direction"},
    {"Status", true, "A_ARG_TYPE_ConnectionStatus"},
};
constexpr ArgumentSpec kCmsProtocol[] = {
    {"Source", true, "SourceProtocolInfo"},
    {"Sink", true, "SinkProtocolInfo"},
};
constexpr ActionSpec kCmsActions[] = {
    {"GetCurrentConnectionIDs", kCmsIds, 1},
    {"GetCurrentConnectionInfo", kCmsInfo, 8},
    {"GetProtocolInfo", kCmsProtocol, 2},
};
constexpr VariableSpec kCmsVariables[] = {
    {"A_ARG_TYPE_ProtocolInfo", "string", false, {}},
    {"A_ARG_TYPE_ConnectionStatus",
     "string",
     false,
     {"OK", "ContentFormatMismatch", "InsufficientBandwidth", "UnreliableChannel", "Unknown"}},
    {"A_ARG_TYPE_AVTransportID", "i4", false, {}},
    {"A_ARG_TYPE_RcsID", "i4", false, {}},
    {"A_ARG_TYPE_ConnectionID", "i4", false, {}},
    {"A_ARG_TYPE_ConnectionManager", "string", false, {}},
    {"SourceProtocolInfo", "string", true, {}},
    {"SinkProtocolInfo", "string", true, {}},
    {"A_ARG_TYPE_Direction", "string", false, {"Input", "Output"}},
    {"CurrentConnectionIDs", "string", true, {}},
};

constexpr ArgumentSpec kCdsBrowseArgs[] = {
    {"ObjectID", false, "A_ARG_TYPE_ObjectID"},
    {"BrowseFlag", false, "A_ARG_TYPE_BrowseFlag"},
    {"Filter", false, "A_ARG_TYPE_Filter"},
    {"StartingIndex", false, "A_ARG_TYPE_Index"},
    {"RequestedCount", false, "A_ARG_TYPE_Count"},
    {"SortCriteria", false, "A_ARG_TYPE_SortCriteria"},
    {"Result", true, "A_ARG_TYPE_Result"},
    {"NumberReturned", true, "A_ARG_TYPE_Count"},
    {"TotalMatches", true, "A_ARG_TYPE_Count"},
    {"UpdateID", true, "A_ARG_TYPE_UpdateID"},
};
constexpr ArgumentSpec kCdsCreateArgs[] = {
    {"ContainerID", false, "A_ARG_TYPE_ObjectID"},
    {"Elements", false, "A_ARG_TYPE_Result"},
    {"ObjectID", true, "A_ARG_TYPE_ObjectID"},
    {"Result", true, "A_ARG_TYPE_Result"},
};
constexpr ArgumentSpec kCdsDestroyArgs[] = {{"ObjectID", false, "A_ARG_TYPE_ObjectID"}};
constexpr ArgumentSpec kCdsSearchCapsArgs[] = {{"SearchCaps", true, "SearchCapabilities"}};
constexpr ArgumentSpec kCdsSortCapsArgs[] = {{"SortCaps", true, "SortCapabilities"}};
constexpr ArgumentSpec kCdsUpdateIdArgs[] = {{"Id", true, "SystemUpdateID"}};
constexpr ArgumentSpec kCdsSearchArgs[] = {
    {"ContainerID", false, "A_ARG_TYPE_ObjectID"},
    {"SearchCriteria", false, "A_ARG_TYPE_SearchCriteria"},
    {"Filter", false, "A_ARG_TYPE_Filter"},
    {"StartingIndex", false, "A_ARG_TYPE_Index"},
    {"RequestedCount", false, "A_ARG_TYPE_Count"},
    {"SortCriteria", false, "A_ARG_TYPE_SortCriteria"},
    {"Result", true, "A_ARG_TYPE_Result"},
    {"NumberReturned", true, "A_ARG_TYPE_Count"},
    {"TotalMatches", true, "A_ARG_TYPE_Count"},
    {"UpdateID", true, "A_ARG_TYPE_UpdateID"},
};
constexpr ActionSpec kCdsActions[] = {
    {"Browse", kCdsBrowseArgs, 10},
    {"CreateObject", kCdsCreateArgs, 4},
    {"DestroyObject", kCdsDestroyArgs, 1},
    {"GetSearchCapabilities", kCdsSearchCapsArgs, 1},
    {"GetSortCapabilities", kCdsSortCapsArgs, 1},
    {"GetSystemUpdateID", kCdsUpdateIdArgs, 1},
    {"Search", kCdsSearchArgs, 10},
};
constexpr VariableSpec kCdsVariables[] = {
    {"A_ARG_TYPE_BrowseFlag", "string", false, {"BrowseMetadata", "BrowseDirectChildren"}},
    {"ContainerUpdateIDs", "string", true, {}},
    {"SystemUpdateID", "ui4", true, {}},
    {"A_ARG_TYPE_Count", "ui4", false, {}},
    {"A_ARG_TYPE_SortCriteria", "string", false, {}},
    {"SortCapabilities", "string", false, {}},
    {"A_ARG_TYPE_Index", "ui4", false, {}},
    {"A_ARG_TYPE_ObjectID", "string", false, {}},
    {"A_ARG_TYPE_UpdateID", "ui4", false, {}},
    {"A_ARG_TYPE_Result", "string", false, {}},
    {"SearchCapabilities", "string", false, {}},
    {"A_ARG_TYPE_SearchCriteria", "string", false, {}},
    {"A_ARG_TYPE_Filter", "string", false, {}},
};
static_assert(std::size(kCmsActions) == kCmsActionCount);
static_assert(std::size(kCdsActions) == kCdsActionCount);
static_assert(std::size(kCdsActions) <= kServiceMaxActions);
static_assert(std::size(kCdsVariables) <= kServiceMaxStateVariables);
static_assert(std::size(kCdsVariables) == kCdsVarFilter + 1);

// One service: its generated texts and the entries that point into them.
struct StoredService {
    std::string action_text;
    std::string variable_text;
    std::string service_entry;
    ActionEntry actions[kServiceMaxActions];
    StateVariableEntry variables[kServiceMaxStateVariables];
    int action_count = 0;
    int variable_count = 0;
    ServiceRecord record;
};

int Size(const std::string& text)
{
    return static_cast<int>(text.size());
}

// The action list's elements, one after another, and where each lies.
void WriteActions(StoredService* service, std::span<const ActionSpec> actions)
{
    std::string& a = service->action_text;
    for (std::size_t i = 0; i < actions.size(); ++i) {
        const ActionSpec& action = actions[i];
        int start = Size(a);
        a += "<action><name>";
        a += action.name;
        a += "</name><argumentList>";
        for (int k = 0; k < action.argument_count; ++k) {
            const ArgumentSpec& argument = action.arguments[k];
            a += "<argument><name>";
            a += argument.name;
            a += "</name><direction>";
            a += argument.out ? "out" : "in";
            a += "</direction><relatedStateVariable>";
            a += argument.variable;
            a += "</relatedStateVariable></argument>";
        }
        a += "</argumentList></action>";
        service->actions[i] = ActionEntry{start, Size(a) - start};
    }
    service->action_count = static_cast<int>(actions.size());
}

// The state variables' elements in pieces (head, allowed-value list, tail) and where each lies;
// the allowed values themselves are written by the record.
void WriteVariables(StoredService* service, std::span<const VariableSpec> variables)
{
    std::string& v = service->variable_text;
    for (std::size_t i = 0; i < variables.size(); ++i) {
        const VariableSpec& variable = variables[i];
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

template <std::size_t NA, std::size_t NV>
void BuildService(StoredService* service, std::string_view short_name,
                  const ActionSpec (&actions)[NA], const VariableSpec (&variables)[NV])
{
    static_assert(NA <= std::size_t{kServiceMaxActions} &&
                  NV <= std::size_t{kServiceMaxStateVariables});
    WriteActions(service, actions);
    WriteVariables(service, variables);
    WriteServiceEntry(service, short_name);
}

void Attach(StoredService* service)
{
    ServiceRecord& record = service->record;
    record = ServiceRecord{};
    for (int i = 0; i < service->action_count; ++i) record.actions[i] = &service->actions[i];
    record.action_count = service->action_count;
    for (int i = 0; i < service->variable_count; ++i)
        record.state_variables[i] = &service->variables[i];
    record.state_variable_count = service->variable_count;
    record.action_text = service->action_text.c_str();
    record.state_variable_text = service->variable_text.c_str();
    record.service_list_entry = service->service_entry.c_str();
    record.service_list_entry_length = Size(service->service_entry);
}

struct Stored {
    StoredService cms;
    StoredService cds;
    Stored()
    {
        BuildService(&cms, "ConnectionManager", kCmsActions, kCmsVariables);
        BuildService(&cds, "ContentDirectory", kCdsActions, kCdsVariables);
        Attach(&cms);
        Attach(&cds);
    }
};

Stored& Texts()
{
    static Stored stored;  // thread-safe first use
    return stored;
}

}  // namespace

ServiceRecord* StaticConnectionManagerRecord() noexcept
{
    return &Texts().cms.record;
}

ServiceRecord* StaticContentDirectoryRecord() noexcept
{
    return &Texts().cds.record;
}

void ResetServiceRecords() noexcept
{
    Attach(&Texts().cms);
    Attach(&Texts().cds);
    DeviceRecord* device = MicroStack_GetDeviceRecord();
    device->connection_manager = &Texts().cms.record;
    device->content_directory = &Texts().cds.record;
}

}  // namespace tv
