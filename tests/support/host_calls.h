// A test host's way into a driver object: the function in slot `index` of the object's
// table, read as the host reads it (a word at that position past the first word's target),
// with the exact type of the slot.
#pragma once

#include <cstring>

#include "vexcard/host_interface.h"

namespace vexcard::test {

template <class Fn>
Fn slotAt(const HostObject* object, int index) {
  static_assert(sizeof(Fn) == sizeof(void*));
  Fn fn;
  std::memcpy(&fn, reinterpret_cast<const char*>(object->slots) + index * sizeof(void*), sizeof fn);
  return fn;
}

// Calls slot `index` of the object with the given arguments.
template <class Fn, class... Args>
auto callSlot(const HostObject* object, int index, Args&&... args) {
  return slotAt<Fn>(object, index)(std::forward<Args>(args)...);
}

// A record of type T with every byte set to `fill`, standing for a host buffer.
template <class T>
T filled(unsigned char fill = 0xAA) {
  T record;
  std::memset(static_cast<void*>(&record), fill, sizeof record);
  return record;
}

}  // namespace vexcard::test
