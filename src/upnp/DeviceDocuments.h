// The stored texts of the device stack (device description template, service description
// pieces, serviceList entries) and the icon images. Texts are kept expanded; the service
// records that point into them are built on first use, their actions from an action table.
#pragma once

#include <cstddef>

#include "upnp/ActionTable.h"

struct ServiceRecord;

namespace tv {

// The device description with nine %s fields (friendlyName, manufacturer, manufacturerURL,
// modelDescription, modelName, modelNumber, modelURL, serialNumber, UDN) and the icon list
// already in place; it ends with the 19 bytes " </device>\r\n</root>" that the sender drops.
extern const char kDescriptionTemplate[];
extern const std::size_t kDescriptionTemplateLength;

// "<?xml ...><actionList>" (157 bytes) and the other fixed SCPD pieces.
extern const char kScpdHead[];
extern const std::size_t kScpdHeadLength;

extern const unsigned char kIcon48[2304];
extern const unsigned char kIcon32[1504];
extern const unsigned char kIcon120[8688];

// The static records of the two services, built on first use (thread-safe), with every state
// variable switched on and no actions until a table is used.
ServiceRecord* StaticConnectionManagerRecord() noexcept;
ServiceRecord* StaticContentDirectoryRecord() noexcept;

// Gives the records the actions of `table`, each row declared switched on and the others off.
// Records that already hold the same actions are left alone.
void UseActionTable(ActionTable table) noexcept;

}  // namespace tv
