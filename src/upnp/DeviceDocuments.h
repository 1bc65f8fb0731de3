// The stored texts of the device stack (device description template, service description
// pieces, serviceList entries) and the icon images. Texts are kept expanded; each stack builds
// the service records that point into them, their actions from its action table.
#pragma once

#include <cstddef>
#include <string_view>

#include "runtime/ServerOptions.h"
#include "upnp/ActionTable.h"

struct ServiceRecord;

namespace tv {

// The device description a server with these options describes itself with, with nine %s
// fields (friendlyName, manufacturer, manufacturerURL, modelDescription, modelName,
// modelNumber, modelURL, serialNumber, UDN) and the icon list already in place; it ends with
// the 19 bytes " </device>\r\n</root>" that the sender drops. With today's listing it offers
// no uploads (X_DLNACAP), and with media information it names Samsung's capabilities in
// <device> (the getMediaInfo.sec and getCaptionInfo.sec transfer headers a Samsung TV may then
// ask for). Static storage.
std::string_view DescriptionTemplate(const ServerOptions& options) noexcept;

// "<?xml ...><actionList>" (157 bytes) and the other fixed SCPD pieces.
extern const char kScpdHead[];
extern const std::size_t kScpdHeadLength;

extern const unsigned char kIcon48[2304];
extern const unsigned char kIcon32[1504];
extern const unsigned char kIcon120[8688];

// A stack's service descriptions: both services' texts and the two records that point into
// them, the actions of `table`, each row declared switched on and the others off, and every
// state variable switched on; a row or variable of a mode that `options` leaves off is not
// there at all (row) or switched off (variable). Records and texts live until Destroy.
struct ServiceDocuments;
[[nodiscard]] ServiceDocuments* ServiceDocumentsCreate(ActionTable table,
                                                       const ServerOptions& options) noexcept;
void ServiceDocumentsDestroy(ServiceDocuments* documents) noexcept;
ServiceRecord* ServiceDocumentsRecord(ServiceDocuments* documents, ServiceId service) noexcept;

}  // namespace tv
