// Persistent objects: an identity (object ID), a name and a dirty flag, saved
// into and loaded from a structured storage the caller hands over.
//
// Stored layout (binding for every project file): one stream
// "CPersistentObjectStream" directly in the given storage, holding
//   1. the name as a Nubra variant (at most 259 bytes of text),
//   2. the object ID, 16 bytes little-endian field by field,
//   3. a Nubra memory block of 32 zero bytes, reserved (not read back).
// The dirty flag is not stored. See docs/file-format.md.
#pragma once

#include <cstdint>

#include <kwcore/CkwErrorInfo.h>
#include <kwcore/kwExport.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwWinTypes.h>

/// {BDCA3662-0121-4209-8946-857360780BCA}: the service under which list items
/// offer SkwPersistentObject_Method through kwQueryService.
extern KWCORE_API const GUID IID_SkwPersistentObject_Method;

/// Source GUID of CkwPersistentObject in error records:
/// {268350CC-E4A0-45C2-A304-5BE231B9EFBA}.
extern KWCORE_API const GUID kwGUID_SourcePersistentObject;

/// The interface of persistent objects: nine operations in this slot order,
/// no data, no virtual destructor.
struct SkwPersistentObject_Method {
  virtual bool kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwGetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwGetObjectName(char** ppszName, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSetObjectName(char* pszName, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwRegenerateAllObjectID(CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwIsObjectDirty(bool* pbDirty, CkwErrorInfo* pErrorInfo) = 0;
  virtual bool kwSetObjectDirty(bool bDirty, CkwErrorInfo* pErrorInfo) = 0;
};

/// Base of objects with an ID, a name and a dirty flag. Only derived classes
/// construct it. Whenever an operation changes the dirty flag itself it goes
/// through the kwSetObjectDirty slot, so an override sees every change.
///
/// Names are 8-bit text in the process code page (UTF-8) of at most
/// kMaxNameLength bytes: a longer name is refused when it is set (code 10),
/// so no longer text is ever written or read.
class KWCORE_API CkwPersistentObject : public SkwPersistentObject_Method {
 public:
  enum : std::int32_t {
    kwMETHOD_LOAD = 0,
    kwMETHOD_SAVE = 1,
    kwMETHOD_GET_OBJECT_ID = 2,
    kwMETHOD_SET_OBJECT_ID = 3,
    kwMETHOD_GET_OBJECT_NAME = 4,
    kwMETHOD_SET_OBJECT_NAME = 5,
    kwMETHOD_IS_OBJECT_DIRTY = 8,
    kwMETHOD_COPY_PERSISTENT_OBJECT_DATA = 10,
  };
  /// Longest name in bytes, without the NUL.
  static constexpr int kMaxNameLength = 259;

  /// Copies ID, name and dirty flag: a copy has its source's ID. Reports
  /// nothing; if the name cannot be copied for want of memory, the copy's
  /// name is empty.
  CkwPersistentObject(const CkwPersistentObject& other) noexcept;
  CkwPersistentObject& operator=(const CkwPersistentObject& other) noexcept;

  bool kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override;
  bool kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override;
  bool kwGetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) override;
  bool kwSetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) override;
  /// Hands out a fresh copy of the name in a locked movable global-memory
  /// block; the caller frees it (see kwcore/kwWinApi.h):
  ///     GlobalUnlock(GlobalHandle(name)); GlobalFree(GlobalHandle(name));
  bool kwGetObjectName(char** ppszName, CkwErrorInfo* pErrorInfo) override;
  bool kwSetObjectName(char* pszName, CkwErrorInfo* pErrorInfo) override;
  bool kwRegenerateAllObjectID(CkwErrorInfo* pErrorInfo) override;
  bool kwIsObjectDirty(bool* pbDirty, CkwErrorInfo* pErrorInfo) override;
  bool kwSetObjectDirty(bool bDirty, CkwErrorInfo* pErrorInfo) override;

  /// Copies ID, name and then dirty flag into `pTarget` through its
  /// interface, stopping at the first failure (whose entry stays).
  bool kwCopyPersistentObjectData(SkwPersistentObject_Method* pTarget, CkwErrorInfo* pErrorInfo);

  virtual ~CkwPersistentObject();

 protected:
  /// Empty name, clean, and a fresh object ID.
  CkwPersistentObject();

 private:
  void kwClearData() noexcept;
  bool StoreName(const char* pszName) noexcept;

  GUID m_objectID;
  char* m_pszName;  // owned; never null
  bool m_bDirty;
};
