// Growth of the plain arrays behind kwcore's append-only containers (string
// list, check-link and update-link records). The arrays live in exported
// classes as a raw pointer, a count and a capacity, so that the public headers
// show no implementation type, and grow without ever throwing.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

namespace kwAppendArray {

/// Makes room for one more element behind `count`, doubling the capacity
/// when it is full. Returns false, leaving the array untouched, when no memory
/// is obtained or the count cannot grow. The elements are moved as bytes:
/// arrays hold pointers or enumerations only.
template <class T>
bool ReserveOne(T*& items, std::int32_t count, std::int32_t& capacity) noexcept {
  static_assert(std::is_trivially_copyable_v<T>);
  if (count < capacity) return true;
  if (capacity > INT32_MAX / 2) return false;
  const std::int32_t grown = capacity == 0 ? 8 : capacity * 2;
  T* larger = new (std::nothrow) T[static_cast<std::size_t>(grown)];
  if (larger == nullptr) return false;
  if (count > 0) std::memcpy(larger, items, sizeof(T) * static_cast<std::size_t>(count));
  delete[] items;
  items = larger;
  capacity = grown;
  return true;
}

}  // namespace kwAppendArray
