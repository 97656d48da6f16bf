// The chapters component module: a plain service object (CTimecode) and a
// persistent list item (CChapter), served to hosts through the object
// factory. Hosts see only kwChapters.h; the classes are private here.
#include <cinttypes>
#include <cstdio>

#include <kwcore/CkwPersistentObject.h>
#include <kwcore/kwComponent.h>
#include <kwcore/kwErrorCodes.h>
#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

#include "kwChapters.h"

namespace {

/// The caller's record as this module's operations use it (kwcpp.h).
class Record : public CkwModuleRecord {
 public:
  Record(CkwErrorInfo* pErrorInfo, std::int32_t method) noexcept
      : CkwModuleRecord(pErrorInfo, kwGUID_SourceExampleChapters, method) {}
};

// ---------------------------------------------------------------------------
// A plain service object: the CkwServiceObject root for the factory, the
// interface it serves, and a service map that says under which IID.
class CTimecode : public CkwServiceObject, public SkwExampleTimecode_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP() public
      : bool kwFormatTimecode(std::int64_t nMilliseconds, char* pszText, std::int32_t nSize,
                              CkwErrorInfo* pErrorInfo) override {
    Record record(pErrorInfo, kwMETHOD_EXAMPLE_FORMAT_TIMECODE);
    if (pszText == nullptr) return record.Fail(kwERROR_NULL_POINTER);
    if (nMilliseconds < 0 || nSize <= 0) return record.Fail(kwERROR_OUT_OF_RANGE);
    const std::int64_t seconds = nMilliseconds / 1000;
    const int length =
        std::snprintf(pszText, static_cast<std::size_t>(nSize),
                      "%02" PRId64 ":%02" PRId64 ":%02" PRId64 ".%03" PRId64, seconds / 3600,
                      seconds / 60 % 60, seconds % 60, nMilliseconds % 1000);
    if (length < 0 || length >= nSize) {
      pszText[0] = '\0';
      return record.Fail(kwERROR_OUT_OF_RANGE);
    }
    return true;
  }
};

// clang-format off
kwBEGIN_OBJECT_MAP(CTimecode, CkwServiceObject, CLSID_kwExampleTimecode)
kwEND_OBJECT_MAP(CTimecode)
kwBEGIN_SERVICE_MAP(CTimecode, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_SkwExampleTimecode_Method, CTimecode, SkwExampleTimecode_Method)
kwEND_SERVICE_MAP(CTimecode)
    // clang-format on

    // ---------------------------------------------------------------------------
    // A persistent list item. CkwServiceObject makes it something the factory
    // creates and a list holds; CkwPersistentObject gives it an object ID, a
    // name and a dirty flag and saves them; the service map offers
    // SkwPersistentObject_Method, which CkwPersistentObjectList asks for to save
    // and load its items. kwSave and kwLoad add the chapter's own stream and
    // call the base for the rest.
    class CChapter : public CkwServiceObject,
                     public CkwPersistentObject,
                     public SkwExampleChapter_Method {
  kwDECLARE_OBJECT_MAP() kwDECLARE_SERVICE_MAP() public
      : bool kwSetStart(std::int64_t nMilliseconds, CkwErrorInfo* pErrorInfo) override {
    Record record(pErrorInfo, kwMETHOD_EXAMPLE_SET_START);
    if (nMilliseconds < 0) return record.Fail(kwERROR_OUT_OF_RANGE);
    if (nMilliseconds == m_nStart) return true;
    m_nStart = nMilliseconds;
    // Through the virtual slot, as the base does, so an override sees it.
    return kwSetObjectDirty(true, pErrorInfo);
  }
  bool kwGetStart(std::int64_t* pnMilliseconds, CkwErrorInfo* pErrorInfo) override {
    Record record(pErrorInfo, kwMETHOD_EXAMPLE_GET_START);
    if (pnMilliseconds == nullptr) return record.Fail(kwERROR_NULL_POINTER);
    *pnMilliseconds = m_nStart;
    return true;
  }

  // The storage is the item's own ("Item0", "Item1"... of the list): the
  // base's stream "CPersistentObjectStream" and ours live side by side.
  bool kwSave(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override {
    Record record(pErrorInfo, kwMETHOD_EXAMPLE_SAVE);
    if (pStorage == nullptr) return record.Fail(kwERROR_NULL_POINTER);
    CkwComPtr<IStream> stream;
    if (FAILED(pStorage->CreateStream(
            kDataStream, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, stream.put())))
      return record.Fail(kwERROR_CREATE_ELEMENT_FAILED);
    BYTE bytes[kDataSize];
    Put(bytes, kDataVersion, 4);
    Put(bytes + 4, static_cast<std::uint64_t>(m_nStart), 8);
    ULONG written = 0;
    if (FAILED(stream->Write(bytes, sizeof bytes, &written)) || written != sizeof bytes)
      return record.Fail(kwERROR_STREAM_WRITE_FAILED);
    // Last: the base writes name and ID and then marks the object clean,
    // which is true only once everything is written.
    return CkwPersistentObject::kwSave(pStorage, pErrorInfo);
  }
  bool kwLoad(IStorage* pStorage, CkwErrorInfo* pErrorInfo) override {
    // First: the base clears and reads name and ID (and reports a null
    // storage), then the chapter reads what is its own.
    if (!CkwPersistentObject::kwLoad(pStorage, pErrorInfo)) return false;
    Record record(pErrorInfo, kwMETHOD_EXAMPLE_LOAD);
    m_nStart = 0;
    CkwComPtr<IStream> stream;
    if (FAILED(pStorage->OpenStream(kDataStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                                    stream.put())))
      return record.Fail(kwERROR_OPEN_ELEMENT_FAILED);
    BYTE bytes[kDataSize];
    ULONG read = 0;
    if (FAILED(stream->Read(bytes, sizeof bytes, &read)) || read != sizeof bytes ||
        Get(bytes, 4) != kDataVersion)
      return record.Fail(kwERROR_STREAM_READ_FAILED);
    const auto start = static_cast<std::int64_t>(Get(bytes + 4, 8));
    if (start < 0) return record.Fail(kwERROR_STREAM_READ_FAILED);
    m_nStart = start;
    return true;
  }

 private:
  // "ChapterData": a 32-bit layout version (1), then the start in
  // milliseconds, 64 bits; both little-endian, whatever the host.
  static constexpr OLECHAR kDataStream[] = u"ChapterData";
  static constexpr std::uint32_t kDataVersion = 1;
  static constexpr std::size_t kDataSize = 12;
  static void Put(BYTE* out, std::uint64_t value, int size) noexcept {
    for (int i = 0; i < size; ++i) out[i] = static_cast<BYTE>(value >> (8 * i));
  }
  static std::uint64_t Get(const BYTE* in, int size) noexcept {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value |= std::uint64_t{in[i]} << (8 * i);
    return value;
  }

  std::int64_t m_nStart = 0;
};

// clang-format off
kwBEGIN_OBJECT_MAP(CChapter, CkwServiceObject, CLSID_kwExampleChapter)
kwEND_OBJECT_MAP(CChapter)
kwBEGIN_SERVICE_MAP(CChapter, CkwServiceObject)
  kwSERVICE_ENTRY(&IID_SkwPersistentObject_Method, CChapter, SkwPersistentObject_Method)
  kwSERVICE_ENTRY(&IID_SkwExampleChapter_Method, CChapter, SkwExampleChapter_Method)
kwEND_SERVICE_MAP(CChapter)
// clang-format on

}  // namespace

// The exported gkw_CreateComponent: one line per class the module serves.
// clang-format off
kwBEGIN_COMPONENT_MAP(kwGUID_SourceExampleChapters)
  kwCOMPONENT_CLASS(CLSID_kwExampleTimecode, CTimecode)
  kwCOMPONENT_CLASS(CLSID_kwExampleChapter, CChapter)
kwEND_COMPONENT_MAP()
    // clang-format on
