#include <kwcore/CkwStrList.h>

#include <cstring>
#include <new>

#include "core/CkwWorkingRecord.h"
#include "core/kwAppendArray.h"

namespace {

// {ACD6D56A-9C56-4156-B76A-0ADF452A9B09}
const GUID kSource = {0xACD6D56A, 0x9C56, 0x4156, {0xB7, 0x6A, 0x0A, 0xDF, 0x45, 0x2A, 0x9B, 0x09}};

}  // namespace

CkwStrList::~CkwStrList() {
  for (std::int32_t i = 0; i < m_nCount; ++i) delete[] m_ppszTexts[i];
  delete[] m_ppszTexts;
}

bool CkwStrList::kwAddString(const char* pszText, CkwErrorInfo* pErrorInfo) {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwStrList::kwMETHOD_ADD_STRING);
  if (pszText == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  // The slot first: once the copy exists, nothing can fail any more.
  if (!kwAppendArray::ReserveOne(m_ppszTexts, m_nCount, m_nCapacity))
    return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  const std::size_t size = std::strlen(pszText) + 1;
  char* copy = new (std::nothrow) char[size];
  if (copy == nullptr) return kwFAIL(record, kwERROR_OUT_OF_MEMORY);
  std::memcpy(copy, pszText, size);
  m_ppszTexts[m_nCount++] = copy;
  return true;
}

bool CkwStrList::kwGetCount(std::int32_t* pnCount, CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwStrList::kwMETHOD_GET_COUNT);
  if (pnCount == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  *pnCount = m_nCount;
  return true;
}

bool CkwStrList::kwGetString(std::int32_t nPosition, const char** ppszText,
                             CkwErrorInfo* pErrorInfo) const {
  CkwWorkingRecord record(pErrorInfo, kSource, CkwStrList::kwMETHOD_GET_STRING);
  if (ppszText == nullptr) return kwFAIL(record, kwERROR_NULL_POINTER);
  if (nPosition < 0 || nPosition >= m_nCount) return kwFAIL(record, kwERROR_OUT_OF_RANGE);
  *ppszText = m_ppszTexts[nPosition];
  return true;
}

void CkwStrList::DropLast() noexcept {
  if (m_nCount == 0) return;
  delete[] m_ppszTexts[--m_nCount];
}
