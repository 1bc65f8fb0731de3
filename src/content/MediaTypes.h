// Fixed tables from a file name extension to MIME type, DLNA profile and media class.
// Any thread: the tables are constant.
#pragma once

#include <string>
#include <string_view>

#include "cds/CdsObject.h"

// Each takes the extension with or without its leading dot and ignores ASCII case; an
// unknown or empty extension gives the last row (application/octet-stream, no profile,
// object.item). The texts are constants: callers copy what they keep.

// Null for a null extension.
const char* FSE_GetMimeType(const char* extension) noexcept;
// Possibly the empty text.
const char* FSE_GetDlnaProfile(const char* extension) noexcept;
CdsMediaClass FSE_GetMediaClass(const char* extension) noexcept;

namespace tv {

// True when folder listings show files with this extension (the others can still be fetched).
bool FSE_IsPublished(const char* extension) noexcept;

// What a file of one kind is to the listing and to the "content" directory.
struct MediaKind {
    const char* mime_type = "application/octet-stream";
    const char* profile = nullptr;  // DLNA.ORG_PN; null writes none
    CdsMediaClass media_class = kCdsClassItem;
    bool published = false;  // listed, and (with today's kinds) served
};

// The kind of a file by its extension (with or without its dot, any ASCII case). With
// `modern`, today's kinds: video, audio and image files TVs play, each with the MIME type they
// accept and the class of its family; any other extension is neither listed nor served, and
// no extension alone makes a DLNA profile certain. Without, the protocol's own table above
// (its empty profile is kept: the default writes "DLNA.ORG_PN=;").
MediaKind MediaKindOf(std::string_view extension, bool modern) noexcept;

// The GetProtocolInfo Source list of today's kinds: each MIME type of the table once, in
// table order, as "http-get:*:<type>:*".
std::string ModernSourceProtocolInfo();

}  // namespace tv
