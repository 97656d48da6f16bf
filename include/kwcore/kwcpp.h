// C++ conveniences over kwcore's fixed API. Header-only: nothing here is
// exported, and the API's own types and calling conventions stay as they are.
#pragma once

#include <utility>

/// Owns one reference to a COM-shaped object (IStorage, IStream,
/// IEnumSTATSTG, or any interface with Release) and releases it when
/// destroyed, so that every path out of a function lets go of what it opened.
/// It never calls AddRef: a pointer handed to it, by the constructor, reset()
/// or put(), brings the reference it owns from then on. Move-only, since a
/// copy would need an AddRef the reader cannot see. Not thread-safe: one
/// CkwComPtr belongs to one thread at a time, like any plain variable.
///
///   CkwComPtr<IStorage> root;
///   if (FAILED(StgOpenStorage(path, nullptr, STGM_READ, nullptr, 0, root.put()))) ...
///   CkwComPtr<IStream> stream;
///   root->OpenStream(u"Data", nullptr, STGM_READ, 0, stream.put());
template <class T>
class CkwComPtr {
 public:
  CkwComPtr() noexcept = default;
  /// Takes over the reference that `pointer` (may be null) carries.
  explicit CkwComPtr(T* pointer) noexcept : m_pointer(pointer) {}
  CkwComPtr(CkwComPtr&& other) noexcept : m_pointer(other.release()) {}
  CkwComPtr& operator=(CkwComPtr&& other) noexcept {
    reset(other.release());
    return *this;
  }
  CkwComPtr(const CkwComPtr&) = delete;
  CkwComPtr& operator=(const CkwComPtr&) = delete;
  ~CkwComPtr() { reset(); }

  /// The object, still owned here; null when empty.
  T* get() const noexcept { return m_pointer; }
  T* operator->() const noexcept { return m_pointer; }
  explicit operator bool() const noexcept { return m_pointer != nullptr; }

  /// Hands the reference to the caller, who must Release it, and leaves this
  /// empty.
  [[nodiscard]] T* release() noexcept { return std::exchange(m_pointer, nullptr); }
  /// Releases the reference held, if any, and takes over `pointer`'s.
  void reset(T* pointer = nullptr) noexcept {
    T* old = std::exchange(m_pointer, pointer);
    if (old != nullptr) old->Release();
  }
  /// For an out-parameter (`IStorage**`): releases the reference held and
  /// returns the address of the now null slot, which the callee fills with a
  /// new reference or leaves null.
  T** put() noexcept {
    reset();
    return &m_pointer;
  }

 private:
  T* m_pointer = nullptr;
};
