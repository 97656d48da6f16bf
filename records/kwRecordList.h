// What the check-link and update-link file lists share: an append-only array
// of records that the list owns, searched by DVD item ID. Each list class
// keeps the array as three plain members (its public header shows no
// implementation type) and hands them to these functions; the class's own
// operation opens the working record, so reports carry the class's source
// and method number.
#pragma once

#include <cstdint>

#include <kwcore/kwWinTypes.h>

#include "core/CkwWorkingRecord.h"
#include "core/kwAppendArray.h"

namespace kwRecordList {

/// Destroys every record, first to last, and the array.
template <class Record>
void DestroyAll(Record** records, std::int32_t count) noexcept {
  for (std::int32_t i = 0; i < count; ++i) delete records[i];
  delete[] records;
}

/// Appends `item`, which the list owns from then on. Null `item`: code 2. No
/// memory to grow: code 1, and the item stays the caller's.
template <class Record>
bool Add(Record* item, Record**& records, std::int32_t& count, std::int32_t& capacity,
         CkwWorkingRecord& record) noexcept {
  if (item == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (!kwAppendArray::ReserveOne(records, count, capacity))
    return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  records[count++] = item;
  return true;
}

/// Stores in `*ppFound` the first record whose DVD item ID is `*pID`. Null
/// `pID` or `ppFound`: code 2. No match: `*ppFound` null, code 12 severity 1.
template <class Record>
bool FindByDVDItemID(Record* const* records, std::int32_t count, const GUID* pID, Record** ppFound,
                     CkwWorkingRecord& record) {
  if (pID == nullptr || ppFound == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  for (std::int32_t i = 0; i < count; ++i) {
    GUID id;
    if (!records[i]->kwGetDVDItemID(&id, record.get())) return false;
    if (IsEqualGUID(id, *pID)) {
      *ppFound = records[i];
      return true;
    }
  }
  *ppFound = nullptr;
  return kwWARN(record, kwERROR_NOT_FOUND);
}

}  // namespace kwRecordList
