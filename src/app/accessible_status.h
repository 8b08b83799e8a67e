#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace gui {

// COM on the calling thread, apartment-threaded, from Enter until destruction. The thread must
// then deliver every message of its queue: COM brings its calls in through a hidden window.
class ComApartment {
public:
    ComApartment() = default;
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    void Enter() noexcept;
    // Leaves COM, if Enter entered it: calls still on their way to this thread's objects fail at
    // once rather than waiting for a thread that no longer serves them.
    void Leave() noexcept;

private:
    bool entered = false;
};

// What assistive technology learns of the main window's client area: one accessible object,
// made at the first request, named with exactly the text the window paints, with the events
// that announce every change of that text. Destruction cuts every client off at once; it
// belongs in WM_DESTROY.
class AccessibleStatus {
public:
    // `text` is painted now; `alert` while it shows a failure.
    AccessibleStatus(HWND window, const std::wstring& text, bool alert);
    ~AccessibleStatus();
    AccessibleStatus(const AccessibleStatus&) = delete;
    AccessibleStatus& operator=(const AccessibleStatus&) = delete;

    // The answer to WM_GETOBJECT, for the client area only; false leaves the message to the
    // default handling.
    bool Answer(WPARAM wParam, LPARAM lParam, LRESULT& answer) noexcept;

    // The window paints `text` from now on; announced when it differs from before. Taken by
    // value: the caller makes the copy, and meets any failure to allocate it.
    void Update(std::wstring text, bool alert) noexcept;

private:
    // From Windows 10 on: the client as an assertive live region, through the annotation service.
    void MarkLiveRegion() noexcept;

    struct State;
    std::unique_ptr<State> state;
};

} // namespace gui
