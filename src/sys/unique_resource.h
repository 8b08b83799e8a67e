#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace sys {

// Move-only owner of one handle, released with `Close`. `InvalidValue` is the value that means
// "no handle" for this kind of handle: 0 (null) for most, -1 (INVALID_HANDLE_VALUE) for files.
template <typename T, auto Close, std::intptr_t InvalidValue = 0>
class UniqueResource {
    static_assert(std::is_pointer_v<T> || std::is_integral_v<T>, "a handle is a pointer or an integer");

public:
    static T Invalid() noexcept
    {
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(InvalidValue);
        else
            return static_cast<T>(InvalidValue);
    }

    UniqueResource() noexcept = default;
    explicit UniqueResource(T handle) noexcept : handle_(handle) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : handle_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }
    ~UniqueResource() { Reset(); }

    T Get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Invalid(); }

    T Release() noexcept { return std::exchange(handle_, Invalid()); }

    void Reset(T handle = Invalid()) noexcept
    {
        const T old = std::exchange(handle_, handle);
        if (old != Invalid())
            Close(old);
    }

    // Releases the held handle and lends the slot to an out-parameter.
    T* Put() noexcept
    {
        Reset();
        return &handle_;
    }

private:
    T handle_ = Invalid();
};

} // namespace sys
