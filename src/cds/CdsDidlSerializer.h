// DIDL-Lite for one CdsObject, already escaped once for the text of a SOAP Result, and the
// Filter vocabulary (mask parser, capability list, dlna namespace test). Any thread; no state.
#pragma once

#include <cstdint>
#include <string_view>

#include "cds/CdsObject.h"

namespace tv {
// The DIDL-Lite root tags as they stand inside a SOAP Result (escaped once).
constexpr std::string_view kDidlRootStartDlna =
    "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
    "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
    "xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot;&gt;";
constexpr std::string_view kDidlRootStart =
    "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
    "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot;&gt;";
// The root of today's media information: the dlna and sec namespaces its elements use.
constexpr std::string_view kDidlRootStartMedia =
    "&lt;DIDL-Lite xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot; "
    "xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
    "xmlns:dlna=&quot;urn:schemas-dlna-org:metadata-1-0/&quot; "
    "xmlns:sec=&quot;http://www.sec.co.kr/&quot;&gt;";
constexpr std::string_view kDidlRootEnd = "\r\n&lt;/DIDL-Lite&gt;";
static_assert(kDidlRootStartDlna.size() == 255);
static_assert(kDidlRootStart.size() == 197);

// Filter mask bits.
constexpr std::uint32_t kCdsFilterCreator = 0x00000001;
constexpr std::uint32_t kCdsFilterChildCount = 0x00000002;
constexpr std::uint32_t kCdsFilterSearchable = 0x00000004;
constexpr std::uint32_t kCdsFilterAlbum = 0x00000008;
constexpr std::uint32_t kCdsFilterGenre = 0x00000010;
constexpr std::uint32_t kCdsFilterRes = 0x00000020;
constexpr std::uint32_t kCdsFilterResResolution = 0x00000040;
constexpr std::uint32_t kCdsFilterResDuration = 0x00000080;
constexpr std::uint32_t kCdsFilterResBitrate = 0x00000100;
constexpr std::uint32_t kCdsFilterResColorDepth = 0x00000200;
constexpr std::uint32_t kCdsFilterResSize = 0x00000400;
constexpr std::uint32_t kCdsFilterResBitsPerSample = 0x00000800;
constexpr std::uint32_t kCdsFilterResSampleFrequency = 0x00001000;
constexpr std::uint32_t kCdsFilterResNrAudioChannels = 0x00002000;
constexpr std::uint32_t kCdsFilterResProtection = 0x00004000;
constexpr std::uint32_t kCdsFilterResImportUri = 0x00008000;
constexpr std::uint32_t kCdsFilterResIfoFileUri = 0x00010000;
constexpr std::uint32_t kCdsFilterResImportIfoFileUri = 0x00020000;
constexpr std::uint32_t kCdsFilterResResumeUpload = 0x00040000;
constexpr std::uint32_t kCdsFilterResUploadedSize = 0x00080000;
constexpr std::uint32_t kCdsFilterResTrackTotal = 0x00100000;
constexpr std::uint32_t kCdsFilterChannelName = 0x00200000;
constexpr std::uint32_t kCdsFilterChannelNr = 0x00400000;
constexpr std::uint32_t kCdsFilterDate = 0x00800000;
constexpr std::uint32_t kCdsFilterDlnaManaged = 0x01000000;
constexpr std::uint32_t kCdsFilterContainerType = 0x02000000;
constexpr std::uint32_t kCdsFilterTakeOut = 0x04000000;
constexpr std::uint32_t kCdsFilterCreateClass = 0x08000000;
constexpr std::uint32_t kCdsFilterSearchClass = 0x10000000;
constexpr std::uint32_t kCdsFilterAllIp = 0x20000000;
// upnp:artist, upnp:originalTrackNumber, upnp:albumArtURI, sec:CaptionInfoEx (an object's
// CdsMediaDetails): in "*"; CdsFilter_Parse leaves the names to the content source.
constexpr std::uint32_t kCdsFilterMediaDetails = 0x40000000;
constexpr std::uint32_t kCdsFilterAll = 0xDFFFFFFF;  // "*"
constexpr std::uint32_t kCdsFilterDlnaNamespace = 0x051D0000;

// Why an object gives no DIDL-Lite text: a class code without a name (the object's or one of
// its create or search classes the output would name), or a text that reached the measured size.
enum CdsDidlError : int {
    kCdsDidlNoError = 0,
    kCdsDidlClassZero = kCdsCheckClassZero,
    kCdsDidlBadBase = kCdsCheckBadBase,
    kCdsDidlBadSecond = kCdsCheckBadSecond,
    kCdsDidlBadThird = kCdsCheckBadThird,
    kCdsDidlOverflow = -99,
};

// A serialized object: new malloc text and its length, or a null text and the error.
struct CdsDidlText {
    char* text = nullptr;
    int length = 0;
    CdsDidlError error = kCdsDidlNoError;
};

// Length of CdsToDidl_FormatDuration's text (0 for a negative input).
int CdsToDidl_FormatDurationLength(int seconds) noexcept;

// The buffer size the measuring pass gives (text bound plus terminator), or the error code.
long long CdsToDidl_MeasuredSize(const CdsObject* object, int single_escape, std::uint32_t filter,
                                 int with_root) noexcept;
}  // namespace tv

// Filter text to mask; null or empty gives 0. The text may be any bytes, NUL-terminated.
std::uint32_t CdsFilter_Parse(const char* filter) noexcept;

// Writes the capability names of the mask, comma-separated, NUL-terminated; returns the
// length. `buffer` needs CdsFilter_StringLength(mask) + 1 bytes.
int CdsFilter_ToString(char* buffer, std::uint32_t mask) noexcept;
int CdsFilter_StringLength(std::uint32_t mask) noexcept;

bool CdsFilter_NeedsDlnaNamespace(std::uint32_t mask) noexcept;

// The object's element (with the DIDL-Lite root when `with_root`), markup escaped once and
// values escaped twice (once when `single_escape`). The caller frees the text.
[[nodiscard]] tv::CdsDidlText CdsToDidl_GetmediaObjectDidlEscaped(const CdsObject* object,
                                                                  int single_escape,
                                                                  std::uint32_t filter,
                                                                  int with_root) noexcept;

// Writes "h:mm:ss.fff" of milliseconds and returns its length; nothing and 0 for a negative
// input. `buffer` needs 32 bytes.
int CdsToDidl_FormatDurationMs(char* buffer, std::int64_t milliseconds) noexcept;

// Writes "h:mm:ss.000" (hours not limited) and returns its length; nothing and 0 for a
// negative input. `buffer` needs 17 bytes.
int CdsToDidl_FormatDuration(char* buffer, int seconds) noexcept;

// The text with " & ' < > escaped twice ("&" becomes "&amp;amp;"); returns the length.
// `destination` needs CdsToDidl_DoubleEscapeLength(text) + 1 bytes and is NUL-terminated.
int CdsToDidl_DoubleEscape(char* destination, const char* text) noexcept;
int CdsToDidl_DoubleEscapeLength(const char* text) noexcept;
