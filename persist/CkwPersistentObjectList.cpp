#include <kwcore/CkwPersistentObjectList.h>

#include <cstdio>

#include <kwcore/CkwObjectFactory.h>
#include <kwcore/kwWinApi.h>
#include <kwcore/kwcpp.h>

#include "core/CkwWorkingRecord.h"
#include "kwLoadDiagnostics.h"
#include "platform/kwLittleEndian.h"

const GUID kwGUID_SourcePersistentObjectList = {
    0xB0292C2B, 0xF99D, 0x4C5A, {0x96, 0xFF, 0x5A, 0x54, 0x4C, 0xF2, 0x89, 0x56}};

namespace {

const GUID& kSource = kwGUID_SourcePersistentObjectList;

constexpr WCHAR kBlankStream[] = u"Blank";
constexpr WCHAR kCountStream[] = u"Count";
constexpr WCHAR kItemGUIDStream[] = u"ItemGUID";
constexpr int kReservedBlockSize = 32;

// "Item" plus the decimal index, formed in 8-bit text and converted to UTF-16
// as every element name is.
bool ItemStorageName(int index, WCHAR (&name)[32]) noexcept {
  char text[32];
  std::snprintf(text, sizeof text, "%s%d", "Item", index);
  return MultiByteToWideChar(CP_ACP, 0, text, -1, name, 32) > 0;
}

SkwPersistentObject_Method* PersistenceOf(CkwServiceObject* item, CkwErrorInfo* pErrorInfo) {
  void* service = nullptr;
  if (!item->kwQueryService(&IID_SkwPersistentObject_Method, &service, pErrorInfo)) return nullptr;
  return static_cast<SkwPersistentObject_Method*>(service);
}

// Frees an item that was created but not yet handed to the list, unless it
// was; a null record keeps the caller's failure entry as it stands.
class PendingItem {
 public:
  ~PendingItem() {
    if (m_pItem != nullptr) CkwObjectFactory::kwFreeObject(&m_pItem, nullptr);
  }
  CkwServiceObject** out() noexcept { return &m_pItem; }
  CkwServiceObject* get() const noexcept { return m_pItem; }
  void release() noexcept { m_pItem = nullptr; }

 private:
  CkwServiceObject* m_pItem = nullptr;
};

// The factory's own lines (registration files, module) come before this one.
void DiagnoseCreationFailure(int index, const GUID& clsid, const CkwErrorInfo& why) noexcept {
  if (!kwDiagnosticsEnabled()) return;
  char text[kwGUID_STRING_LENGTH + 1];
  kwGUIDToString(clsid, text, sizeof text);
  kwDiagnoseF(
      "load: persistent list: item %d: cannot re-create class %s: %s (code %d, severity %d)", index,
      text,
      why.m_nErrorCode == kwERROR_COMPONENT_NOT_AVAILABLE ? "not available"
      : why.m_nErrorCode == kwERROR_OUT_OF_MEMORY         ? "out of memory"
                                                          : "the factory failed",
      static_cast<int>(why.m_nErrorCode), static_cast<int>(why.m_nSeverity));
}

}  // namespace

CkwPersistentObjectList::CkwPersistentObjectList() = default;
CkwPersistentObjectList::~CkwPersistentObjectList() = default;

bool CkwPersistentObjectList::kwAddServiceObject(CkwServiceObject* pObject,
                                                 CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_ADD);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return CkwServiceObjectList::kwAddServiceObject(pObject, pErrorInfo);
}

bool CkwPersistentObjectList::kwInsertServiceObject(CkwServiceObject* pObject,
                                                    std::intptr_t nPosition,
                                                    CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_INSERT);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return CkwServiceObjectList::kwInsertServiceObject(pObject, nPosition, pErrorInfo);
}

bool CkwPersistentObjectList::kwReplaceServiceObject(std::intptr_t nPosition,
                                                     CkwServiceObject* pObject,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_REPLACE);
  if (pObject == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  return CkwServiceObjectList::kwReplaceServiceObject(nPosition, pObject, pErrorInfo);
}

bool CkwPersistentObjectList::kwGetServiceObjectByObjectID(CkwServiceObject** ppObject,
                                                           GUID* pObjectID,
                                                           CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_GET_BY_OBJECT_ID);
  if (ppObject == nullptr || pObjectID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  CkwServiceObject* item = nullptr;
  std::intptr_t position = 0;
  kwGetFirstServiceObject(&item, &position, nullptr);
  for (; item != nullptr; kwGetNextServiceObject(&item, &position, nullptr)) {
    SkwPersistentObject_Method* persistence = PersistenceOf(item, record.get());
    if (persistence == nullptr) return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
    GUID id{};
    if (persistence->kwGetObjectID(&id, nullptr) && IsEqualGUID(id, *pObjectID)) {
      *ppObject = item;
      return true;
    }
  }
  return true;
}

bool CkwPersistentObjectList::kwRegenerateAllObjectID(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwPersistentObjectList::kwMETHOD_REGENERATE_ALL_OBJECT_ID);
  CkwServiceObject* item = nullptr;
  std::intptr_t position = 0;
  kwGetFirstServiceObject(&item, &position, nullptr);
  for (; item != nullptr; kwGetNextServiceObject(&item, &position, nullptr)) {
    SkwPersistentObject_Method* persistence = PersistenceOf(item, record.get());
    if (persistence == nullptr || !persistence->kwRegenerateAllObjectID(record.get()))
      return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
  }
  return true;
}

bool CkwPersistentObjectList::kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_SAVE);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);

  CkwComPtr<IStream> stream;
  const BYTE reserved[kReservedBlockSize] = {};
  if (kwImport::StreamCreate(pStorage, kBlankStream, stream.put()) < 0)
    return kwFAIL(record, kwERROR_CREATE_ELEMENT_FAILED);
  if (kwImport::StreamWriteMemoryBlock(stream.get(), kReservedBlockSize, reserved) < 0)
    return kwFAIL(record, kwERROR_STREAM_WRITE_FAILED);

  if (kwImport::StreamCreate(pStorage, kCountStream, stream.put()) < 0)
    return kwFAIL(record, kwERROR_CREATE_ELEMENT_FAILED);
  int count = 0;
  if (!kwGetTotalCount(&count, nullptr)) return kwFAIL(record, kwERROR_INVALID_POSITION);
  BYTE countBytes[4];
  kwStoreU32(countBytes, static_cast<std::uint32_t>(count));
  if (FAILED(stream->Write(countBytes, sizeof countBytes, nullptr)))
    return kwFAIL(record, kwERROR_STREAM_WRITE_FAILED);
  stream.reset();

  CkwServiceObject* item = nullptr;
  std::intptr_t position = 0;
  kwGetFirstServiceObject(&item, &position, record.get());
  if (kwImport::StreamCreate(pStorage, kItemGUIDStream, stream.put()) < 0)
    return kwFAIL(record, kwERROR_CREATE_ELEMENT_FAILED);
  for (int index = 0; item != nullptr; ++index) {
    GUID clsid{};
    if (!item->kwGetCLSID(&clsid, record.get())) return kwFAIL(record, kwERROR_INVALID_POSITION);
    BYTE clsidBytes[16];
    kwGUIDToBytes(clsid, clsidBytes);
    if (FAILED(stream->Write(clsidBytes, sizeof clsidBytes, nullptr)))
      return kwFAIL(record, kwERROR_STREAM_WRITE_FAILED);
    WCHAR name[32];
    CkwComPtr<IStorage> child;
    if (!ItemStorageName(index, name) || kwImport::StorageCreate(pStorage, name, child.put()) < 0)
      return kwFAIL(record, kwERROR_CREATE_ELEMENT_FAILED);
    SkwPersistentObject_Method* persistence = PersistenceOf(item, record.get());
    if (persistence == nullptr) return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
    if (!persistence->kwSave(child.get(), record.get()))
      return kwFAIL(record, kwERROR_INVALID_POSITION);
    kwGetNextServiceObject(&item, &position, record.get());
  }
  return true;
}

bool CkwPersistentObjectList::kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObjectList::kwMETHOD_LOAD);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (!kwDeleteAllServiceObject(nullptr)) return kwFAIL(record, kwERROR_INVALID_POSITION);

  CkwComPtr<IStream> stream;
  BYTE reserved[kReservedBlockSize] = {};
  if (LONG status = kwImport::StreamOpen(pStorage, kBlankStream, stream.put()); status < 0) {
    kwDiagnoseOpenFailure("persistent list", "stream", kBlankStream, status);
    return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
  }
  if (kwImport::StreamReadMemoryBlock(stream.get(), reserved) < 0)
    return kwFAIL(record, kwERROR_STREAM_READ_FAILED);

  if (LONG status = kwImport::StreamOpen(pStorage, kCountStream, stream.put()); status < 0) {
    kwDiagnoseOpenFailure("persistent list", "stream", kCountStream, status);
    return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
  }
  BYTE countBytes[4] = {};
  if (FAILED(stream->Read(countBytes, sizeof countBytes, nullptr)))
    return kwFAIL(record, kwERROR_STREAM_READ_FAILED);
  std::uint32_t rawCount = 0;
  for (int i = 0; i < 4; ++i) rawCount |= static_cast<std::uint32_t>(countBytes[i]) << (8 * i);
  const auto count = static_cast<std::int32_t>(rawCount);

  if (LONG status = kwImport::StreamOpen(pStorage, kItemGUIDStream, stream.put()); status < 0) {
    kwDiagnoseOpenFailure("persistent list", "stream", kItemGUIDStream, status);
    return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
  }
  // A hostile count costs nothing: the first item that cannot be read or
  // created ends the load.
  for (std::int32_t index = 0; index < count; ++index) {
    BYTE clsidBytes[16] = {};
    if (FAILED(stream->Read(clsidBytes, sizeof clsidBytes, nullptr)))
      return kwFAIL(record, kwERROR_STREAM_READ_FAILED);
    GUID clsid = kwGUIDFromBytes(clsidBytes);
    PendingItem item;
    if (!CkwObjectFactory::kwCreateObject(&clsid, item.out(), record.get())) {
      DiagnoseCreationFailure(index, clsid, *record.get());
      return kwFAIL(record, kwERROR_INVALID_POSITION);
    }
    WCHAR name[32];
    CkwComPtr<IStorage> child;
    if (!ItemStorageName(index, name)) return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
    if (LONG status = kwImport::StorageOpen(pStorage, name, child.put()); status < 0) {
      kwDiagnoseOpenFailure("persistent list", "storage", name, status);
      return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
    }
    SkwPersistentObject_Method* persistence = PersistenceOf(item.get(), record.get());
    if (persistence == nullptr) return kwFAIL(record, kwERROR_SERVICE_NOT_OFFERED);
    if (!persistence->kwLoad(child.get(), record.get()))
      return kwFAIL(record, kwERROR_INVALID_POSITION);
    if (!kwAddServiceObject(item.get(), record.get()))
      return kwFAIL(record, kwERROR_INVALID_POSITION);
    item.release();  // the list owns it now
  }
  return true;
}
