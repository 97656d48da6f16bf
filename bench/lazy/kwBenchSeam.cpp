// Two small libraries for the lazy-binding benchmark, built beside
// libkwcore's siblings so that the binder finds them. With KWBENCH_DIRECT:
// a call of gfnIStreamWriteVariant linked at build time. Without: the same
// call through the binder's slot, and a first call of every import. Both
// calls cross one library boundary from the benchmark, as libkwcore's
// callers do.
#include <kwcore/Nubra.h>

#ifdef KWBENCH_DIRECT

extern "C" KW_VISIBILITY_DEFAULT LONG kwBenchDirectCall(IStream* stream, const char* text) {
  return gfnIStreamWriteVariant(stream, text);
}

#else

#include <kwcore/CkwErrorInfo.h>

#include "core/kwImports.h"
#include "core/kwLazyBinder.h"

extern "C" KW_VISIBILITY_DEFAULT LONG kwBenchSlotCall(IStream* stream, const char* text) {
  return kwLazyBinder::Call<kwLazyBinder::kStreamWriteVariant, decltype(gfnIStreamWriteVariant)>(
      stream, text);
}

// Calls each of the fifteen imports once; the Nubra helpers refuse their
// null arguments at once.
extern "C" KW_VISIBILITY_DEFAULT void kwBenchCallEveryImport() {
  alignas(CkwErrorInfo) unsigned char storage[sizeof(CkwErrorInfo)];
  CkwErrorInfo* record = kwImport::ConstructErrorInfo(storage);
  if (CkwGlobalErrorManager* manager = kwImport::GetGlobalErrorManager())
    kwImport::SetErrorInfo(manager, record);
  kwImport::DestroyErrorInfo(record);
  kwImport::StorageCreate(nullptr, nullptr, nullptr);
  kwImport::StorageOpen(nullptr, nullptr, nullptr);
  kwImport::StreamCreate(nullptr, nullptr, nullptr);
  kwImport::StreamOpen(nullptr, nullptr, nullptr);
  kwImport::StreamWriteMemoryBlock(nullptr, 0, nullptr);
  kwImport::StreamReadMemoryBlock(nullptr, nullptr);
  kwImport::StreamWriteVariant(nullptr, nullptr);
  kwImport::StreamReadVariant(nullptr, nullptr);
  GUID guid;
  kwImport::CreateGuid(&guid);
  SAVEDATA from{}, to{};
  kwImport::ClearSaveData(&from);
  kwImport::CopySaveData(&from, &to);
}

#endif
