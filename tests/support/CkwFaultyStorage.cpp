#include "CkwFaultyStorage.h"

#include <atomic>

#include "kwStorageTestUtil.h"

namespace kwtest {
namespace {

bool Due(int* counter, int failAt, bool sticky) {
  ++*counter;
  return failAt > 0 && (*counter == failAt || (sticky && *counter > failAt));
}

/// Reference counting and QueryInterface for a wrapper of `I` that owns one
/// reference to the wrapped object; `Self` lists the interfaces it answers.
template <typename I, typename Self>
class CkwWrapper : public I {
 public:
  CkwWrapper(I* inner, std::shared_ptr<CkwFaultPlan> plan)
      : m_inner(inner), m_plan(std::move(plan)) {
    m_inner->AddRef();
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!Self::Answers(riid)) return E_NOINTERFACE;
    *ppv = static_cast<I*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    ULONG refs = --m_refs;
    if (refs == 0) delete static_cast<Self*>(this);
    return refs;
  }

 protected:
  ~CkwWrapper() { m_inner->Release(); }

  std::atomic<ULONG> m_refs{1};
  I* m_inner;
  std::shared_ptr<CkwFaultPlan> m_plan;
};

class CkwFaultyStream final : public CkwWrapper<IStream, CkwFaultyStream> {
 public:
  using CkwWrapper::CkwWrapper;
  static bool Answers(REFIID riid) {
    return riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream;
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!Due(&m_plan->reads, m_plan->failReadAt, m_plan->sticky))
      return m_inner->Read(pv, cb, pcbRead);
    if (pcbRead) *pcbRead = 0;
    return m_plan->readError;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (!Due(&m_plan->writes, m_plan->failWriteAt, m_plan->sticky))
      return m_inner->Write(pv, cb, pcbWritten);
    if (pcbWritten) *pcbWritten = 0;
    return m_plan->writeError;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override {
    return m_inner->Seek(move, origin, position);
  }
  HRESULT SetSize(ULARGE_INTEGER size) override { return m_inner->SetSize(size); }
  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                 ULARGE_INTEGER* written) override {
    return m_inner->CopyTo(pstm, cb, read, written);
  }
  HRESULT Commit(DWORD flags) override { return m_inner->Commit(flags); }
  HRESULT Revert() override { return m_inner->Revert(); }
  HRESULT LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override {
    return m_inner->LockRegion(offset, cb, type);
  }
  HRESULT UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb, DWORD type) override {
    return m_inner->UnlockRegion(offset, cb, type);
  }
  HRESULT Stat(STATSTG* stat, DWORD flag) override { return m_inner->Stat(stat, flag); }
  HRESULT Clone(IStream** ppstm) override {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    ComPtr<IStream> clone;
    HRESULT hr = m_inner->Clone(clone.Out());
    if (SUCCEEDED(hr)) *ppstm = new CkwFaultyStream(clone.get(), m_plan);
    return hr;
  }
};

class CkwFaultyStorage final : public CkwWrapper<IStorage, CkwFaultyStorage> {
 public:
  using CkwWrapper::CkwWrapper;
  static bool Answers(REFIID riid) { return riid == IID_IUnknown || riid == IID_IStorage; }

  HRESULT CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                       IStream** ppstm) override {
    if (ppstm) *ppstm = nullptr;
    if (Due(&m_plan->creates, m_plan->failCreateAt, m_plan->sticky)) return m_plan->createError;
    return Wrapped(m_inner->CreateStream(name, mode, r1, r2, ppstm), ppstm);
  }
  HRESULT OpenStream(const OLECHAR* name, void* r1, DWORD mode, DWORD r2,
                     IStream** ppstm) override {
    if (ppstm) *ppstm = nullptr;
    if (Due(&m_plan->opens, m_plan->failOpenAt, m_plan->sticky)) return m_plan->openError;
    return Wrapped(m_inner->OpenStream(name, r1, mode, r2, ppstm), ppstm);
  }
  HRESULT CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                        IStorage** ppstg) override {
    if (ppstg) *ppstg = nullptr;
    if (Due(&m_plan->creates, m_plan->failCreateAt, m_plan->sticky)) return m_plan->createError;
    return Wrapped(m_inner->CreateStorage(name, mode, r1, r2, ppstg), ppstg);
  }
  HRESULT OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude, DWORD r,
                      IStorage** ppstg) override {
    if (ppstg) *ppstg = nullptr;
    if (Due(&m_plan->opens, m_plan->failOpenAt, m_plan->sticky)) return m_plan->openError;
    return Wrapped(m_inner->OpenStorage(name, priority, mode, exclude, r, ppstg), ppstg);
  }
  HRESULT CopyTo(DWORD n, const IID* iids, SNB exclude, IStorage* dest) override {
    return m_inner->CopyTo(n, iids, exclude, dest);
  }
  HRESULT MoveElementTo(const OLECHAR* name, IStorage* dest, const OLECHAR* newName,
                        DWORD flags) override {
    return m_inner->MoveElementTo(name, dest, newName, flags);
  }
  HRESULT Commit(DWORD flags) override { return m_inner->Commit(flags); }
  HRESULT Revert() override { return m_inner->Revert(); }
  HRESULT EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** ppenum) override {
    return m_inner->EnumElements(r1, r2, r3, ppenum);
  }
  HRESULT DestroyElement(const OLECHAR* name) override { return m_inner->DestroyElement(name); }
  HRESULT RenameElement(const OLECHAR* oldName, const OLECHAR* newName) override {
    return m_inner->RenameElement(oldName, newName);
  }
  HRESULT SetElementTimes(const OLECHAR* name, const FILETIME* c, const FILETIME* a,
                          const FILETIME* m) override {
    return m_inner->SetElementTimes(name, c, a, m);
  }
  HRESULT SetClass(REFCLSID clsid) override { return m_inner->SetClass(clsid); }
  HRESULT SetStateBits(DWORD bits, DWORD mask) override {
    return m_inner->SetStateBits(bits, mask);
  }
  HRESULT Stat(STATSTG* stat, DWORD flag) override { return m_inner->Stat(stat, flag); }

 private:
  /// Swaps the element a successful call delivered for a wrapper of it.
  template <typename T>
  HRESULT Wrapped(HRESULT hr, T** out) {
    if (FAILED(hr) || !out || !*out) return hr;
    ComPtr<T> inner(*out);
    *out = WrapWithFaults(inner.get(), m_plan);
    return hr;
  }
};

}  // namespace

IStorage* WrapWithFaults(IStorage* inner, std::shared_ptr<CkwFaultPlan> plan) {
  return new CkwFaultyStorage(inner, std::move(plan));
}

IStream* WrapWithFaults(IStream* inner, std::shared_ptr<CkwFaultPlan> plan) {
  return new CkwFaultyStream(inner, std::move(plan));
}

}  // namespace kwtest
