// The action table's type: one row per SOAP action of the device's two services, with its input
// and output arguments and their related state variables, its handler, and the owner's counter.
// The stack takes a table at creation and derives from it both the actionList of each service
// description and the SOAP routing; the owner (the media server layer) writes the rows. Also
// the services' state variables, whose data types decide how SOAP hands an input over. A row or
// a variable may belong to one mode only: the option that switches it on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

#include "runtime/ServerOptions.h"

struct OlvWebSession;

// Actions a service record holds.
inline constexpr int kServiceMaxActions = 16;

namespace tv {

enum ServiceId : int {
    kServiceConnectionManager = 0,
    kServiceContentDirectory = 1,
};
inline constexpr int kServiceCount = 2;

// The service's word in its type, id and URLs.
constexpr std::string_view ServiceName(ServiceId service) noexcept
{
    return service == kServiceConnectionManager ? "ConnectionManager" : "ContentDirectory";
}

// ---- Modes ----

// The option whose mode a row or a variable belongs to; null: every server has it.
using ModeSwitch = bool ServerOptions::*;

constexpr bool InMode(ModeSwitch only_with, const ServerOptions& options) noexcept
{
    return only_with == nullptr || options.*only_with;
}

// ---- State variables, in document order ----

struct StateVariable {
    std::string_view name;
    std::string_view type;  // the dataType
    bool evented = false;
    const char* allowed[6] = {};  // allowed values; unused slots null
    // Declared only by a server with this option on.
    ModeSwitch only_with = nullptr;
};

inline constexpr StateVariable kConnectionManagerVariables[] = {
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

inline constexpr StateVariable kContentDirectoryVariables[] = {
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
    // Samsung's X_GetFeatureList.
    {"A_ARG_TYPE_Featurelist", "string", false, {}, &ServerOptions::media_info},
};

constexpr std::span<const StateVariable> ServiceVariables(ServiceId service) noexcept
{
    if (service == kServiceConnectionManager) return kConnectionManagerVariables;
    return kContentDirectoryVariables;
}

// The variable's position in its service's table; -1 when the service has none of that name.
constexpr int VariableIndex(ServiceId service, std::string_view name) noexcept
{
    std::span<const StateVariable> variables = ServiceVariables(service);
    for (std::size_t i = 0; i < variables.size(); ++i) {
        if (variables[i].name == name) return static_cast<int>(i);
    }
    return -1;
}

// ---- Inputs as a handler receives them ----

// ui4 and i4 inputs are numbers; every other type is text.
enum class InputKind : std::uint8_t { kText, kUnsigned, kSigned };

constexpr InputKind InputKindOf(std::string_view data_type) noexcept
{
    if (data_type == "ui4") return InputKind::kUnsigned;
    if (data_type == "i4") return InputKind::kSigned;
    return InputKind::kText;
}

// One input argument after SOAP has checked and converted it: a text is NUL-terminated and
// XML-unescaped in the request buffer (valid during the call only); a number is parsed.
struct ActionInput {
    char* text = nullptr;
    std::int64_t number = 0;
};

using ActionFn = void (*)(OlvWebSession* session, const ActionInput* inputs) noexcept;

inline constexpr int kMaxActionInputs = 6;
inline constexpr int kMaxActionOutputs = 8;

// A handler and the inputs its signature takes, so that a table can be checked against the
// variables its rows name.
struct ActionHandler {
    ActionFn call = nullptr;
    int input_count = 0;
    InputKind inputs[kMaxActionInputs] = {};
};

namespace action_detail {

template <class T>
constexpr InputKind KindOfParameter() noexcept
{
    if constexpr (std::is_same_v<T, std::uint32_t>) {
        return InputKind::kUnsigned;
    } else if constexpr (std::is_same_v<T, std::int32_t>) {
        return InputKind::kSigned;
    } else {
        static_assert(std::is_same_v<T, char*> || std::is_same_v<T, const char*>,
                      "an action handler takes texts, std::uint32_t or std::int32_t");
        return InputKind::kText;
    }
}

template <class T>
T Convert(const ActionInput& input) noexcept
{
    if constexpr (KindOfParameter<T>() == InputKind::kText)
        return input.text;
    else
        return static_cast<T>(input.number);
}

template <class Fn>
struct Signature;

template <class R, class... Args>
struct Signature<R (*)(OlvWebSession*, Args...) noexcept> {
    static_assert(sizeof...(Args) <= kMaxActionInputs);
    static constexpr int kCount = static_cast<int>(sizeof...(Args));
    static constexpr ActionHandler Describe(ActionFn call) noexcept
    {
        ActionHandler handler{call, kCount, {}};
        [[maybe_unused]] int i = 0;
        ((handler.inputs[i++] = KindOfParameter<Args>()), ...);
        return handler;
    }
    template <auto Fn, std::size_t... I>
    static void Call(OlvWebSession* session, [[maybe_unused]] const ActionInput* inputs,
                     std::index_sequence<I...>) noexcept
    {
        Fn(session, Convert<Args>(inputs[I])...);
    }
};

template <auto Fn>
void Thunk(OlvWebSession* session, const ActionInput* inputs) noexcept
{
    using S = Signature<decltype(Fn)>;
    S::template Call<Fn>(session, inputs, std::make_index_sequence<S::kCount>{});
}

}  // namespace action_detail

// A typed handler, (session, its inputs in order) with texts as char* or const char* and
// numbers as std::uint32_t (ui4) or std::int32_t (i4), as a row's handler. What it returns
// is not used.
template <auto Fn>
inline constexpr ActionHandler kActionHandler =
    action_detail::Signature<decltype(Fn)>::Describe(action_detail::Thunk<Fn>);

// ---- Rows ----

struct ActionArgument {
    std::string_view name;
    std::string_view variable;  // the related state variable
};

struct ActionRow {
    ServiceId service = kServiceContentDirectory;
    std::string_view name;
    // In document order (the inputs come first in the description); unused slots empty.
    ActionArgument inputs[kMaxActionInputs] = {};
    ActionArgument outputs[kMaxActionOutputs] = {};
    ActionHandler handler = {};  // none: answered with fault 501 "No Function Handler"
    int statistic = -1;          // the owner's invocation counter; -1 none
    // Switched off: left out of the description, still routed.
    bool declared = true;
    // The first input names an object: one with a NUL byte of its own is refused (701), since
    // cut there it would name another object.
    bool names_object = false;
    // Declared and routed only by a server with this option on; to any other the action does
    // not exist (401 Invalid Action), and its service description is as it would be without it.
    ModeSwitch only_with = nullptr;
};

// Rows in each service's document order; the rows of the two services may interleave.
using ActionTable = std::span<const ActionRow>;

constexpr int InputCount(const ActionRow& row) noexcept
{
    int count = 0;
    while (count < kMaxActionInputs && !row.inputs[count].name.empty()) ++count;
    return count;
}

// The first row that does not hold together, or -1: a variable its service does not declare
// (or declares in another mode only), an argument after an unused slot, a handler whose inputs do
// not match the variables' types, a name twice in one service, more rows in a service than its
// record holds.
constexpr int FirstUnsoundRow(ActionTable table) noexcept
{
    int rows[kServiceCount] = {};
    for (std::size_t r = 0; r < table.size(); ++r) {
        const ActionRow& row = table[r];
        const int bad = static_cast<int>(r);
        if (row.service != kServiceConnectionManager && row.service != kServiceContentDirectory)
            return bad;
        if (row.name.empty() || ++rows[row.service] > kServiceMaxActions) return bad;
        for (std::size_t other = 0; other < r; ++other) {
            if (table[other].service == row.service && table[other].name == row.name) return bad;
        }
        auto declared = [&](std::span<const ActionArgument> arguments) {
            bool ended = false;
            for (const ActionArgument& argument : arguments) {
                ended = ended || argument.name.empty();
                if (argument.name.empty()) continue;
                const int variable = VariableIndex(row.service, argument.variable);
                if (ended || variable < 0) return false;
                const ModeSwitch mode = ServiceVariables(row.service)[variable].only_with;
                if (mode != nullptr && mode != row.only_with) return false;
            }
            return true;
        };
        if (!declared(row.inputs) || !declared(row.outputs)) return bad;
        const int inputs = InputCount(row);
        auto kind = [&](int i) {
            const int variable = VariableIndex(row.service, row.inputs[i].variable);
            return InputKindOf(ServiceVariables(row.service)[variable].type);
        };
        if (row.names_object && (inputs == 0 || kind(0) != InputKind::kText)) return bad;
        if (row.handler.call == nullptr) continue;
        if (row.handler.input_count != inputs) return bad;
        for (int i = 0; i < inputs; ++i) {
            if (row.handler.inputs[i] != kind(i)) return bad;
        }
    }
    return -1;
}

// static_assert(ActionTableHoldsTogether<FirstUnsoundRow(table)>::value): the error names the
// row that does not.
template <int Row>
struct ActionTableHoldsTogether {
    static_assert(Row < 0, "a row of the action table does not hold together");
    static constexpr bool value = true;
};

}  // namespace tv
