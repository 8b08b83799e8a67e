#pragma once

#include <utility>

namespace sys {

// Runs a clean-up when the scope ends, on every path: for releases that need more than the
// handle (ReleaseDC, EndPaint, restoring a selected object, flags).
//   const auto release = sys::ScopeGuard([&] { ::ReleaseDC(window, dc); });
template <typename Function>
class ScopeGuard {
public:
    explicit ScopeGuard(Function cleanUp) noexcept : cleanUp_(std::move(cleanUp)) {}
    ScopeGuard(const ScopeGuard&) = delete;
    ScopeGuard& operator=(const ScopeGuard&) = delete;
    ~ScopeGuard() { cleanUp_(); }

private:
    Function cleanUp_;
};

} // namespace sys
