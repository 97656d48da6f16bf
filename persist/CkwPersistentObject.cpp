#include <kwcore/CkwPersistentObject.h>

#include <cstring>
#include <new>

#include <kwcore/kwWinApi.h>
#include <kwcore/kwcpp.h>

#include "core/CkwWorkingRecord.h"
#include "kwLoadDiagnostics.h"

const GUID IID_SkwPersistentObject_Method = {
    0xBDCA3662, 0x0121, 0x4209, {0x89, 0x46, 0x85, 0x73, 0x60, 0x78, 0x0B, 0xCA}};
const GUID kwGUID_SourcePersistentObject = {
    0x268350CC, 0xE4A0, 0x45C2, {0xA3, 0x04, 0x5B, 0xE2, 0x31, 0xB9, 0xEF, 0xBA}};

namespace {

const GUID& kSource = kwGUID_SourcePersistentObject;

constexpr WCHAR kStreamName[] = u"CPersistentObjectStream";
constexpr int kNameBufferSize = CkwPersistentObject::kMaxNameLength + 1;
constexpr int kReservedBlockSize = 32;

char kEmptyName[1] = {'\0'};

char* CopyText(const char* text) noexcept {
  std::size_t length = std::strlen(text);
  char* copy = new (std::nothrow) char[length + 1];
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

CkwPersistentObject::CkwPersistentObject()
    : m_objectID(GUID_NULL), m_pszName(kEmptyName), m_bDirty(false) {
  kwImport::CreateGuid(&m_objectID);
}

CkwPersistentObject::CkwPersistentObject(const CkwPersistentObject& other) noexcept
    : SkwPersistentObject_Method(other),
      m_objectID(other.m_objectID),
      m_pszName(kEmptyName),
      m_bDirty(other.m_bDirty) {
  StoreName(other.m_pszName);
}

CkwPersistentObject& CkwPersistentObject::operator=(const CkwPersistentObject& other) noexcept {
  if (this != &other) {
    m_objectID = other.m_objectID;
    if (!StoreName(other.m_pszName)) StoreName("");
    m_bDirty = other.m_bDirty;
  }
  return *this;
}

CkwPersistentObject::~CkwPersistentObject() {
  kwClearData();
  StoreName("");
}

void CkwPersistentObject::kwClearData() noexcept {
  m_objectID = GUID_NULL;
  StoreName("");
}

// Replaces the name; the empty name needs no allocation, so emptying it
// always succeeds.
bool CkwPersistentObject::StoreName(const char* pszName) noexcept {
  char* copy = *pszName == '\0' ? kEmptyName : CopyText(pszName);
  if (copy == nullptr) return false;
  if (m_pszName != kEmptyName) delete[] m_pszName;
  m_pszName = copy;
  return true;
}

bool CkwPersistentObject::kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_SAVE);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  CkwComPtr<IStream> stream;
  if (kwImport::StreamCreate(pStorage, kStreamName, stream.put()) < 0)
    return kwFAIL(record, kwERROR_CREATE_ELEMENT_FAILED);
  char name[kNameBufferSize] = {};
  std::strncpy(name, m_pszName, kNameBufferSize - 1);
  BYTE id[16];
  kwGUIDToBytes(m_objectID, id);
  const BYTE reserved[kReservedBlockSize] = {};
  if (kwImport::StreamWriteVariant(stream.get(), name) < 0 ||
      FAILED(stream->Write(id, sizeof id, nullptr)) ||
      kwImport::StreamWriteMemoryBlock(stream.get(), kReservedBlockSize, reserved) < 0)
    return kwFAIL(record, kwERROR_STREAM_WRITE_FAILED);
  stream.reset();
  kwSetObjectDirty(false, nullptr);
  return true;
}

bool CkwPersistentObject::kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_LOAD);
  if (pStorage == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  kwClearData();
  CkwComPtr<IStream> stream;
  if (LONG status = kwImport::StreamOpen(pStorage, kStreamName, stream.put()); status < 0) {
    kwDiagnoseOpenFailure("persistent object", "stream", kStreamName, status);
    return kwFAIL(record, kwERROR_OPEN_ELEMENT_FAILED);
  }
  char name[kNameBufferSize] = {};
  if (kwImport::StreamReadVariant(stream.get(), name) < 0)
    return kwFAIL(record, kwERROR_STREAM_READ_FAILED);
  name[kNameBufferSize - 1] = '\0';
  if (!StoreName(name)) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  BYTE id[16] = {};
  if (FAILED(stream->Read(id, sizeof id, nullptr)))
    return kwFAIL(record, kwERROR_STREAM_READ_FAILED);
  m_objectID = kwGUIDFromBytes(id);
  stream.reset();
  kwSetObjectDirty(false, nullptr);
  return true;
}

bool CkwPersistentObject::kwGetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_GET_OBJECT_ID);
  if (pObjectID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pObjectID = m_objectID;
  return true;
}

bool CkwPersistentObject::kwSetObjectID(GUID* pObjectID, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_SET_OBJECT_ID);
  if (pObjectID == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (!IsEqualGUID(*pObjectID, m_objectID)) kwSetObjectDirty(true, nullptr);
  m_objectID = *pObjectID;
  return true;
}

bool CkwPersistentObject::kwGetObjectName(char** ppszName, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_GET_OBJECT_NAME);
  if (ppszName == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *ppszName = nullptr;
  std::size_t size = std::strlen(m_pszName) + 1;
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
  char* copy = handle ? static_cast<char*>(GlobalLock(handle)) : nullptr;
  if (copy == nullptr) {
    if (handle != nullptr) GlobalFree(handle);
    return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  }
  std::memcpy(copy, m_pszName, size);
  *ppszName = copy;
  return true;
}

bool CkwPersistentObject::kwSetObjectName(char* pszName, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_SET_OBJECT_NAME);
  if (pszName == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (std::strlen(pszName) > static_cast<std::size_t>(kMaxNameLength))
    return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  // UTF-8 text compares equal byte for byte exactly when it is the same text.
  if (std::strcmp(pszName, m_pszName) == 0) return true;
  kwSetObjectDirty(true, nullptr);
  if (!StoreName(pszName)) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  return true;
}

bool CkwPersistentObject::kwRegenerateAllObjectID(CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  kwImport::CreateGuid(&m_objectID);
  kwSetObjectDirty(true, nullptr);
  return true;
}

bool CkwPersistentObject::kwIsObjectDirty(bool* pbDirty, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwPersistentObject::kwMETHOD_IS_OBJECT_DIRTY);
  if (pbDirty == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pbDirty = m_bDirty;
  return true;
}

bool CkwPersistentObject::kwSetObjectDirty(bool bDirty, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, kwMETHOD_NONE);
  m_bDirty = bDirty;
  return true;
}

bool CkwPersistentObject::kwCopyPersistentObjectData(SkwPersistentObject_Method* pTarget,
                                                     CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource,
                          CkwPersistentObject::kwMETHOD_COPY_PERSISTENT_OBJECT_DATA);
  if (pTarget == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // The target gets copies: its operations take non-const arguments.
  GUID id = m_objectID;
  char name[kNameBufferSize] = {};
  std::strncpy(name, m_pszName, kNameBufferSize - 1);
  // The flag goes last, so the target ends with ours even though setting the
  // ID or name may have marked it dirty.
  return pTarget->kwSetObjectID(&id, record.get()) &&
         pTarget->kwSetObjectName(name, record.get()) &&
         pTarget->kwSetObjectDirty(m_bDirty, record.get());
}
