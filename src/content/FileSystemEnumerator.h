// The content directory's view of the shared folders: the ObjectID scheme, and one Browse or
// Search answered as a query that yields CdsObjects one at a time.
//
// ObjectIDs: "0" is the root; "0\" + internal path without its leading backslash names
// anything below it, folders with a trailing backslash ("0\%2Fhome%2Fann%2FMusic\Rock\"), and
// a partial file "x.mp3.tmp" is named without its ".tmp". Only what is shared now can be named:
// anything else is "no such object" (701).
//
// With today's listing (tv::ServerOptions::modern_listing) a folder lists only today's kinds of
// media files and its sub-folders, leaves out hidden and system entries, comes containers first
// and each by title in natural order (or as SortCriteria asks), and tells each container's true
// number of children; every object is restricted (nothing can be created here).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cds/CdsObject.h"
#include "runtime/ServerOptions.h"

struct OlvChain;
struct MSA_BrowseRequest;
struct FileIo_DirEnum;
struct FSE_Enumerator;
struct FseListing;

namespace tv {
struct ServerContext;
}

namespace tv {
constexpr int kFseNoSuchObject = 701;
constexpr int kFseNoSuchContainer = 710;
constexpr int kFseEntryCapacity = 2047;  // characters of a current entry
constexpr int kFseNameCapacity = 1024;   // bytes of one name, NUL included
constexpr int kFseBadSortCriteria = 709;
// What today's listing sorts by (GetSortCapabilities).
inline constexpr char kFseSortCapabilities[] = "dc:title,dc:date,upnp:class";
enum class FseSortProperty : std::uint8_t { kTitle, kDate, kClass };
struct FseSortKey {
    FseSortProperty property = FseSortProperty::kTitle;
    bool ascending = true;
    bool operator==(const FseSortKey&) const = default;
};
// What the current entry is; the values of FileIo_GetType.
enum FseEntryType : int {
    kFseEntryAbsent = 0,
    kFseEntryFile = 1,
    kFseEntryFolder = 2,
};
}  // namespace tv

// One request's walk. Used by one thread between FSE_OpenQuery and FSE_CloseQuery.
struct FseQuery {
    const tv::ServerContext* context = nullptr;  // the enumerator's
    int done = 0;
    int partial = 0;      // the current entry's name ends in ".tmp"
    int metadata = 0;     // BrowseMetadata: at most one object
    std::string subject;  // internal path of the requested object; folders end with "\"
    std::string current;  // internal path of the entry to produce next
    int entry_type = tv::kFseEntryAbsent;  // tv::FseEntryType
    FileIo_DirEnum* dir = nullptr;         // the root's listing (the shared folders)
    FseListing* listing = nullptr;         // a folder's listing, read with the kinds of its entries
    int object_size_known = 0;             // the object produced last had its file looked at:
    std::int64_t object_size = -1;         // its size then (-1 when not a regular file)
    std::uint64_t object_device = 0;       // and, a regular file, what else its stat said
    std::uint64_t object_inode = 0;
    std::int64_t object_mtime_ns = 0;
    int modern = 0;                    // today's listing
    int child_counts = 0;              // containers tell how many children they list
    std::vector<tv::FseSortKey> sort;  // SortCriteria of a children query (today's listing)
};

// Views into one entry's full path (not NUL-terminated).
struct FsePathParts {
    const char* full = nullptr;
    int full_length = 0;
    const char* name = nullptr;  // last component, without a trailing backslash
    int name_length = 0;
    int base_length = 0;              // of the name, up to its last "."
    const char* extension = nullptr;  // from the last "." of the name, dot included
    int extension_length = 0;
    const char* parent_relative = nullptr;  // parent without the root prefix
    int parent_relative_length = 0;
    const char* relative = nullptr;  // full without the root prefix
    int relative_length = 0;
};

// Chain thread (or before the chain runs). The root path is "\" in this system; the files are
// reached with the context, which must outlive the chain; the chain frees the record.
[[nodiscard]] FSE_Enumerator* FSE_Create(OlvChain* chain, const tv::ServerContext* context,
                                         const char* root_path,
                                         const char* virtual_directory) noexcept;

namespace tv {
// Called on the enumerator's thread for each folder below the root that a query lists or
// counts (today's listing), with its internal path, the folder as opened and its stat.
using FseFolderSeenFn = void (*)(void* user, std::string_view path, int folder_fd,
                                 const struct stat& st) noexcept;
void FSE_SetFolderSeen(FSE_Enumerator* fse, FseFolderSeenFn seen, void* user) noexcept;
// What is kept of a folder is stale although the folder itself looks unchanged (a file in it
// changed): its orders by date are made again.
void FSE_FolderChanged(FSE_Enumerator* fse, std::uint64_t device, std::uint64_t inode) noexcept;
// Bytes held by the kept listings, their orders and the kept child counts.
std::size_t FSE_CachedBytes(FSE_Enumerator* fse) noexcept;
// Forgets every kept listing and count (for measurements of a cold listing).
void FSE_DropCache(FSE_Enumerator* fse) noexcept;

// Names today's listing leaves out, neither listed nor served: hidden names (".x", AppleDouble
// "._x", ".Trash-1000") and the system folders lost+found and @eaDir.
bool FseLeftOutName(std::string_view name) noexcept;
// True when a component below the shared folder of the internal path (with or without its
// leading backslash) is a name left out.
bool FseLeftOutPath(std::string_view path) noexcept;
// One criterion of a SortCriteria: "+prop" or "-prop" (a bare name sorts up), as written
// (`whole`, blanks around it left out) and its property name.
struct FseCriterion {
    std::string_view whole;
    std::string_view property;
    bool ascending = true;
};
// The criteria separated by commas, empty ones left out.
std::vector<FseCriterion> FseSplitSortCriteria(std::string_view text);
// SortCriteria the listing sorts by; false for a property it does not sort by.
bool FseParseSortCriteria(std::string_view text, std::vector<FseSortKey>* keys) noexcept;
}  // namespace tv

// Null with *error 701 or 710, else the query.
[[nodiscard]] FseQuery* FSE_OpenQuery(FSE_Enumerator* fse, const MSA_BrowseRequest* request,
                                      int* error) noexcept;
// Fills the empty object with the next object: 1, or 0 when the query has no more.
int FSE_HandleProcessObject(FSE_Enumerator* fse, const MSA_BrowseRequest* request, FseQuery* query,
                            CdsObject* object) noexcept;
// Like FSE_HandleProcessObject, but only tells whether there is a next object and moves past
// it, without building it: 1, or 0 when the query has no more.
int FSE_CountObject(FSE_Enumerator* fse, FseQuery* query) noexcept;
// Moves past up to `count` objects as FSE_CountObject does, at once where the folder's listing
// allows; returns how many there were.
std::uint32_t FSE_SkipObjects(FSE_Enumerator* fse, FseQuery* query, std::uint32_t count) noexcept;
// Moves to the next accepted child: 1 with parts filled, 0 when the folder has no more.
int FSE_Advance(FSE_Enumerator* fse, FseQuery* query, FsePathParts* parts) noexcept;
// 1 when the current entry (split into parts) is published.
int FSE_Accept(FSE_Enumerator* fse, FseQuery* query, const FsePathParts* parts) noexcept;
void FSE_ParsePath(FSE_Enumerator* fse, const std::string& path, FsePathParts* parts) noexcept;
// The UpdateID to report (always 0); frees the query.
int FSE_CloseQuery(FSE_Enumerator* fse, FseQuery* query) noexcept;

// Internal path -> URL path below the virtual directory ("%2Fa%2FMusic/x.mp3"), a new text
// (tv::Free). Not yet URL-escaped.
[[nodiscard]] char* FSE_PathToUrlPath(FSE_Enumerator* fse, const char* path) noexcept;
// Decoded request path below the virtual directory ("/%2Fa%2FMusic/x.mp3") -> the escaped file
// path for the media transfer ("%2Fa%2FMusic\x.mp3"), NUL-terminated into buffer. Returns its
// length, or -1 when it does not fit.
int FSE_UrlPathToPath(FSE_Enumerator* fse, const char* path, int length, char* buffer,
                      int buffer_size) noexcept;

namespace tv {
// True when the text can go into DIDL-Lite as it is: valid UTF-8 and no control characters.
bool FseIsXmlSafeName(const char* text, std::size_t length) noexcept;
}  // namespace tv
