#include "CkwFaultyStorage.h"

#include <atomic>
#include <type_traits>

#include "kwStorageTestUtil.h"

namespace kwtest {
namespace {

bool Due(int* counter, int failAt) { return ++*counter == failAt; }

// A call the wrappers pass on unchanged.
#define KW_PASS(name, params, args) \
  HRESULT name params override { return m_inner->name args; }

/// Holds one reference to the wrapped object.
template <typename I, typename Self>
class CkwWrapper : public I {
 public:
  CkwWrapper(I* inner, std::shared_ptr<CkwFaultPlan> plan)
      : m_inner(inner), m_plan(std::move(plan)) {
    m_inner->AddRef();
  }
  // The code under test never asks a storage or stream for another interface.
  HRESULT QueryInterface(REFIID, void** ppv) override {
    if (ppv) *ppv = nullptr;
    return E_NOINTERFACE;
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

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!Due(&m_plan->reads, m_plan->failReadAt)) return m_inner->Read(pv, cb, pcbRead);
    if (pcbRead) *pcbRead = 0;
    return STG_E_READFAULT;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (!Due(&m_plan->writes, m_plan->failWriteAt)) return m_inner->Write(pv, cb, pcbWritten);
    if (pcbWritten) *pcbWritten = 0;
    return STG_E_MEDIUMFULL;
  }
  KW_PASS(Seek, (LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* at), (move, origin, at))
  KW_PASS(SetSize, (ULARGE_INTEGER size), (size))
  KW_PASS(CopyTo, (IStream * to, ULARGE_INTEGER cb, ULARGE_INTEGER* r, ULARGE_INTEGER* w),
          (to, cb, r, w))
  KW_PASS(Commit, (DWORD flags), (flags))
  KW_PASS(Revert, (), ())
  KW_PASS(LockRegion, (ULARGE_INTEGER at, ULARGE_INTEGER cb, DWORD type), (at, cb, type))
  KW_PASS(UnlockRegion, (ULARGE_INTEGER at, ULARGE_INTEGER cb, DWORD type), (at, cb, type))
  KW_PASS(Stat, (STATSTG * stat, DWORD flag), (stat, flag))
  KW_PASS(Clone, (IStream * *clone), (clone))
};

class CkwFaultyStorage final : public CkwWrapper<IStorage, CkwFaultyStorage> {
 public:
  using CkwWrapper::CkwWrapper;

  HRESULT CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                       IStream** ppstm) override {
    if (ppstm) *ppstm = nullptr;
    if (Due(&m_plan->creates, m_plan->failCreateAt)) return STG_E_INSUFFICIENTMEMORY;
    return Wrapped(m_inner->CreateStream(name, mode, r1, r2, ppstm), ppstm);
  }
  HRESULT OpenStream(const OLECHAR* name, void* r1, DWORD mode, DWORD r2,
                     IStream** ppstm) override {
    if (ppstm) *ppstm = nullptr;
    if (Due(&m_plan->opens, m_plan->failOpenAt)) return STG_E_FILENOTFOUND;
    return Wrapped(m_inner->OpenStream(name, r1, mode, r2, ppstm), ppstm);
  }
  HRESULT CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2,
                        IStorage** ppstg) override {
    if (ppstg) *ppstg = nullptr;
    if (Due(&m_plan->creates, m_plan->failCreateAt)) return STG_E_INSUFFICIENTMEMORY;
    return Wrapped(m_inner->CreateStorage(name, mode, r1, r2, ppstg), ppstg);
  }
  HRESULT OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude, DWORD r,
                      IStorage** ppstg) override {
    if (ppstg) *ppstg = nullptr;
    if (Due(&m_plan->opens, m_plan->failOpenAt)) return STG_E_FILENOTFOUND;
    return Wrapped(m_inner->OpenStorage(name, priority, mode, exclude, r, ppstg), ppstg);
  }
  KW_PASS(CopyTo, (DWORD n, const IID* iids, SNB exclude, IStorage* to), (n, iids, exclude, to))
  KW_PASS(MoveElementTo, (const OLECHAR* name, IStorage* to, const OLECHAR* newName, DWORD flags),
          (name, to, newName, flags))
  KW_PASS(Commit, (DWORD flags), (flags))
  KW_PASS(Revert, (), ())
  KW_PASS(EnumElements, (DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** items), (r1, r2, r3, items))
  KW_PASS(DestroyElement, (const OLECHAR* name), (name))
  KW_PASS(RenameElement, (const OLECHAR* name, const OLECHAR* newName), (name, newName))
  KW_PASS(SetElementTimes,
          (const OLECHAR* name, const FILETIME* c, const FILETIME* a, const FILETIME* m),
          (name, c, a, m))
  KW_PASS(SetClass, (REFCLSID clsid), (clsid))
  KW_PASS(SetStateBits, (DWORD bits, DWORD mask), (bits, mask))
  KW_PASS(Stat, (STATSTG * stat, DWORD flag), (stat, flag))

 private:
  /// Swaps the element a successful call delivered for a wrapper of it.
  template <typename T>
  HRESULT Wrapped(HRESULT hr, T** out) {
    if (FAILED(hr) || !out || !*out) return hr;
    CkwComPtr<T> inner(*out);
    *out = new std::conditional_t<std::is_same_v<T, IStream>, CkwFaultyStream, CkwFaultyStorage>(
        inner.get(), m_plan);
    return hr;
  }
};

}  // namespace

IStorage* WrapWithFaults(IStorage* inner, std::shared_ptr<CkwFaultPlan> plan) {
  return new CkwFaultyStorage(inner, std::move(plan));
}

}  // namespace kwtest
