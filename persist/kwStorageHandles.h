// Owning handles for COM interface pointers, so that every path out of a
// save or load releases what it opened.
#pragma once

#include <kwcore/kwStorage.h>

template <class Interface>
class kwComHandle {
 public:
  kwComHandle() noexcept = default;
  ~kwComHandle() { reset(); }
  kwComHandle(const kwComHandle&) = delete;
  kwComHandle& operator=(const kwComHandle&) = delete;

  Interface* get() const noexcept { return m_pInterface; }
  Interface* operator->() const noexcept { return m_pInterface; }
  /// For out-parameters: releases what is held and hands out the slot.
  Interface** out() noexcept {
    reset();
    return &m_pInterface;
  }
  void reset() noexcept {
    if (m_pInterface != nullptr) m_pInterface->Release();
    m_pInterface = nullptr;
  }

 private:
  Interface* m_pInterface = nullptr;
};

using kwStreamHandle = kwComHandle<IStream>;
using kwStorageHandle = kwComHandle<IStorage>;
