// Reading an interface's binary layout in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvo::test {

// The vtable slot of a virtual method, read from the method pointer as this
// platform's C++ ABI lays it out.
template <class Method>
std::ptrdiff_t VtableSlot(Method method)
{
    struct {
        std::uintptr_t pointer;
        std::ptrdiff_t adjustment;
    } layout;
    static_assert(sizeof(Method) == sizeof layout);
    std::memcpy(&layout, &method, sizeof layout);
#if defined(__arm__) || defined(__aarch64__)
    return (layout.adjustment & 1) ? static_cast<std::ptrdiff_t>(layout.pointer / sizeof(void*)) : -1;
#else
    return (layout.pointer & 1) ? static_cast<std::ptrdiff_t>((layout.pointer - 1) / sizeof(void*)) : -1;
#endif
}

}  // namespace orvo::test
