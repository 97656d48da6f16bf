// kwCheckCompoundFile on top of the reader: opening a file already runs every
// structural check the reader has, so a failed open is the one problem there
// is to report, without a place in the file. Walking the tree afterwards reads
// every stream to its end, so that nothing the reader defers goes unchecked.
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <kwcore/kwStorage.h>
#include <kwcore/kwcpp.h>

namespace {

constexpr std::uint64_t kNoOffset = UINT64_MAX;

const char* ResultName(HRESULT hr) noexcept {
  switch (hr) {
    case STG_E_DOCFILECORRUPT:
      return "STG_E_DOCFILECORRUPT";
    case STG_E_INVALIDHEADER:
      return "STG_E_INVALIDHEADER";
    case STG_E_FILENOTFOUND:
      return "STG_E_FILENOTFOUND";
    case STG_E_PATHNOTFOUND:
      return "STG_E_PATHNOTFOUND";
    case STG_E_ACCESSDENIED:
      return "STG_E_ACCESSDENIED";
    case STG_E_READFAULT:
      return "STG_E_READFAULT";
    case STG_E_INSUFFICIENTMEMORY:
      return "STG_E_INSUFFICIENTMEMORY";
    default:
      return "failure";
  }
}

void Report(kwCheckCallback pfnProblem, void* pContext, const std::string& text) {
  if (pfnProblem != nullptr) pfnProblem(pContext, kNoOffset, text.c_str());
}

std::string Described(const char* what, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return std::string(what) + ": " + ResultName(hr) + " (" + code + ")";
}

// Element names as ASCII, other units as \uXXXX: a problem line stays one
// line of plain text whatever the file holds.
std::string PathText(const std::string& parent, const OLECHAR* name) {
  std::string text = parent.empty() ? parent : parent + "/";
  for (const OLECHAR* unit = name; *unit != 0; ++unit) {
    if (*unit >= 0x20 && *unit < 0x7F) {
      text += static_cast<char>(*unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(*unit));
      text += escaped;
    }
  }
  return text;
}

HRESULT ReadToEnd(IStream* stream) {
  std::vector<unsigned char> buffer(64 * 1024);
  for (;;) {
    ULONG read = 0;
    HRESULT hr = stream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &read);
    if (FAILED(hr)) return hr;
    if (read == 0) return S_OK;
  }
}

struct Pending {
  CkwComPtr<IStorage> storage;
  std::string path;
};

HRESULT Walk(IStorage* root, kwCheckCallback pfnProblem, void* pContext) {
  HRESULT verdict = S_OK;
  auto fail = [&](const std::string& what, HRESULT hr) {
    Report(pfnProblem, pContext, Described(what.c_str(), hr));
    verdict = STG_E_DOCFILECORRUPT;
  };
  std::vector<Pending> pending;
  root->AddRef();
  pending.push_back({CkwComPtr<IStorage>(root), std::string()});
  while (!pending.empty()) {
    Pending storage = std::move(pending.back());
    pending.pop_back();
    CkwComPtr<IEnumSTATSTG> elements;
    HRESULT hr = storage.storage->EnumElements(0, nullptr, 0, elements.put());
    if (FAILED(hr)) {
      fail("listing " + (storage.path.empty() ? std::string("the root") : storage.path), hr);
      continue;
    }
    STATSTG stat;
    while (elements->Next(1, &stat, nullptr) == S_OK) {
      std::string path = PathText(storage.path, stat.pwcsName);
      if (stat.type == STGTY_STORAGE) {
        CkwComPtr<IStorage> child;
        hr = storage.storage->OpenStorage(stat.pwcsName, nullptr, STGM_READ, nullptr, 0,
                                          child.put());
        if (FAILED(hr))
          fail("opening storage " + path, hr);
        else
          pending.push_back({std::move(child), std::move(path)});
      } else if (stat.type == STGTY_STREAM) {
        CkwComPtr<IStream> stream;
        hr = storage.storage->OpenStream(stat.pwcsName, nullptr, STGM_READ, 0, stream.put());
        if (SUCCEEDED(hr)) hr = ReadToEnd(stream.get());
        if (FAILED(hr)) fail("reading stream " + path, hr);
      }
      CoTaskMemFree(stat.pwcsName);
    }
  }
  return verdict;
}

}  // namespace

HRESULT kwCheckCompoundFile(const char* pszPath, kwCheckCallback pfnProblem,
                            void* pContext) noexcept {
  if (pszPath == nullptr) return STG_E_INVALIDPOINTER;
  try {
    CkwComPtr<IStorage> root;
    HRESULT hr = StgOpenStorage(pszPath, nullptr, STGM_READ, nullptr, 0, root.put());
    if (hr == STG_E_PATHNOTFOUND) hr = STG_E_FILENOTFOUND;
    if (hr == STG_E_DOCFILECORRUPT)
      Report(pfnProblem, pContext, Described("the reader refuses the file", hr));
    if (FAILED(hr)) return hr;
    return Walk(root.get(), pfnProblem, pContext);
  } catch (const std::bad_alloc&) {
    return STG_E_INSUFFICIENTMEMORY;
  }
}
