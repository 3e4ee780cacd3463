// Applying name records to the object model: each record names one element of one collection,
// created when the collection lacks it. Shared by the names download, the loading of stored
// names and friendly names, and a collection's New.
//
// Name types and their collections: 1 Zones, 2 Units, 3 Buttons, 4 Codes, 5 Areas,
// 6 Thermostats, 7 Messages, 254 AudioSources, 255 AudioZones; 8 and 9 are AudioSources and
// AudioZones in version-1 records and ignored in version 2. In version 2 a unit record whose
// unit is an audio source or zone (the unit type rule) becomes type 254 or 255, numbered from 1
// within its kind.
//
// Elements are found by ID (Item with the key), so a name or friendly name reaches its object
// also when the numbers have gaps and positions no longer equal IDs.
//
// Thread contract: any thread; the collections do their own locking.
#pragma once

#include <vector>

#include "platform/dispatch.h"
#include "server/name_records.h"

namespace zel {

// Applies a name record (the record may be rewritten, see above). *element (may be null)
// receives the named element, or null when the record was skipped with success (an area beyond
// those in use, a version-2 record of type 8 or 9). E_FAIL for an unknown type.
HRESULT ApplyNameRecord(NameRecord* record, int version, IDispatch** element = nullptr);

// Hands an element its friendly name and display flag; an element the collection lacks is
// skipped with success. E_FAIL for an unknown type.
HRESULT ApplyFriendlyNameRecord(const FriendlyNameRecord& record, int version);

// One record per element of the collections that exist (ordinals 1 Zones to 9 AudioZones, in
// that order): its ID, its Display, and its friendly name when it has one that differs from
// its name.
HRESULT CollectFriendlyNames(std::vector<FriendlyNameRecord>* records);

}  // namespace zel
