#pragma once
#include <cstdint>

#include "support/guid.h"
#include "support/hresult.h"

namespace rivu {

// Calls into host objects with the COM layout: the first word of the object
// points at its table of operations; every operation takes the object first.
// On x64 Windows and on the System V ABI there is a single calling convention,
// so a plain function pointer matches the host's methods.
template <typename R, typename... Args>
R CallSlot(void* object, int slot, Args... args) {
    using Method = R (*)(void*, Args...);
    void** table = *static_cast<void***>(object);
    return reinterpret_cast<Method>(table[slot])(object, args...);
}

inline HResult QueryInterface(void* object, const Guid& iid, void** out) {
    return CallSlot<HResult>(object, 0, &iid, out);
}
inline std::uint32_t AddRef(void* object) { return CallSlot<std::uint32_t>(object, 1); }
inline std::uint32_t Release(void* object) { return CallSlot<std::uint32_t>(object, 2); }

}  // namespace rivu
