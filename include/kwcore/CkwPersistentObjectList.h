// CkwPersistentObjectList: a service object list that saves its items into a
// structured storage and rebuilds them from it through the object factory.
//
// Stored layout (binding for every project file), inside the given storage:
//   "Blank"     stream:  a Nubra memory block of 32 zero bytes, reserved
//   "Count"     stream:  item count, 32-bit signed little-endian
//   "ItemGUID"  stream:  each item's CLSID, 16 bytes, in list order
//   "Item0", "Item1", ... storages: one per item, which saves itself there
// The list's own ID, name and dirty flag are not stored. Items must offer
// SkwPersistentObject_Method under IID_SkwPersistentObject_Method to be
// saved, loaded, searched by ID or given new IDs.
//
// Loading first frees the current items; items are re-created by CLSID
// through CkwObjectFactory and appended through kwAddServiceObject, so the
// notify client hears of each one. A load that fails at item k keeps items
// 0..k-1 and frees item k.
#pragma once

#include <cstdint>

#include <kwcore/CkwPersistentObject.h>
#include <kwcore/CkwServiceObjectList.h>
#include <kwcore/kwExport.h>

/// Source GUID of CkwPersistentObjectList in error records:
/// {B0292C2B-F99D-4C5A-96FF-5A544CF28956}.
extern KWCORE_API const GUID kwGUID_SourcePersistentObjectList;

class KWCORE_API CkwPersistentObjectList : public CkwServiceObjectList, public CkwPersistentObject {
 public:
  enum : std::int32_t {
    kwMETHOD_GET_BY_OBJECT_ID = 0,
    kwMETHOD_ADD = 1,
    kwMETHOD_INSERT = 2,
    kwMETHOD_REPLACE = 3,
    kwMETHOD_REGENERATE_ALL_OBJECT_ID = 4,
    kwMETHOD_LOAD = 5,
    kwMETHOD_SAVE = 6,
  };

  /// Empty, no client, an empty name, clean, and a fresh object ID.
  CkwPersistentObjectList();
  ~CkwPersistentObjectList() override;
  CkwPersistentObjectList(const CkwPersistentObjectList&) = delete;
  CkwPersistentObjectList& operator=(const CkwPersistentObjectList&) = delete;

  bool kwAddServiceObject(CkwServiceObject* pObject, CkwErrorInfo* pErrorInfo) override;
  bool kwInsertServiceObject(CkwServiceObject* pObject, std::intptr_t nPosition,
                             CkwErrorInfo* pErrorInfo) override;
  bool kwReplaceServiceObject(std::intptr_t nPosition, CkwServiceObject* pObject,
                              CkwErrorInfo* pErrorInfo) override;

  /// The first direct item whose object ID equals `*pObjectID`. When none
  /// does, succeeds and leaves `*ppObject` unchanged.
  virtual bool kwGetServiceObjectByObjectID(CkwServiceObject** ppObject, GUID* pObjectID,
                                            CkwErrorInfo* pErrorInfo);

  bool kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override;
  bool kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override;
  /// Gives every item new IDs (the list keeps its own).
  bool kwRegenerateAllObjectID(CkwErrorInfo* pErrorInfo) override;
};
