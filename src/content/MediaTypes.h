// Fixed tables from a file name extension to MIME type, DLNA profile and media class.
// Any thread: the tables are constant.
#pragma once

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

}  // namespace tv
