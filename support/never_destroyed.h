#pragma once
#include <new>
#include <utility>

namespace rivu {

// An object built in static storage and never destroyed. No static destructor
// runs for it at unload or exit (a thread left behind may still use it), and
// it takes no heap block, so unloading the library leaves nothing that a leak
// checker counts once the library's memory is gone.
template <typename T>
class NeverDestroyed {
public:
    template <typename... Args>
    explicit NeverDestroyed(Args&&... args) {
        new (storage_) T(std::forward<Args>(args)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(storage_)); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace rivu
