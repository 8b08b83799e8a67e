// Meets the main window as a screen reader does, from another process: the client area's
// accessible object (AccessibleObjectFromWindow) and the events of an out-of-context hook.
//   accessibility_probe SECONDS [close]
// Waits up to SECONDS for the visible main window and prints, a line each:
//   read <TAB> name (line breaks as \n) <TAB> role <TAB> state in hex    as first read
//   event <TAB> event in hex                  each event for the window's client area
//   read ...                                  again after EVENT_SYSTEM_ALERT, or at once
//                                             when the first read found the alert state
//   gone <TAB> HRESULT in hex <TAB> ms        the name asked of the held object once the
//                                             window has gone, and how long the answer took
//   released <TAB> ms                         how long the release of the object took then
// With "close" it posts WM_CLOSE to the window after the second read. Exit code 0; 2 when no
// window appeared, 3 when the time ran out, 4 when the object could not be had.
#include "build_settings.h"

#include <windows.h>
#include <ole2.h>
#include <oleacc.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

bool alerted = false;

bool IsMainWindow(HWND window)
{
    wchar_t name[32] = {};
    return window && ::GetClassNameW(window, name, 32) > 0 && std::wcscmp(name, L"" RORA_WINDOW_TITLE) == 0;
}

void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_CLIENT || child != CHILDID_SELF || !IsMainWindow(window))
        return;
    std::printf("event\t0x%04lx\n", event);
    std::fflush(stdout);
    alerted = alerted || event == EVENT_SYSTEM_ALERT;
}

void Pump(DWORD milliseconds)
{
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds, QS_ALLINPUT);
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        ::DispatchMessageW(&message);
}

std::string Printable(const wchar_t* text)
{
    std::string out;
    for (const wchar_t* c = text; c && *c; ++c) {
        if (*c == L'\n') {
            out += "\\n";
            continue;
        }
        char bytes[8];
        const int n = ::WideCharToMultiByte(CP_UTF8, 0, c, 1, bytes, sizeof bytes, nullptr, nullptr);
        out.append(bytes, n > 0 ? static_cast<size_t>(n) : 0);
    }
    return out;
}

VARIANT Self()
{
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    return self;
}

// Prints the name, role and state; true when the state carries the alert.
bool Read(IAccessible* object)
{
    BSTR name = nullptr;
    VARIANT role, state;
    role.vt = state.vt = VT_EMPTY;
    object->get_accName(Self(), &name);
    object->get_accRole(Self(), &role);
    object->get_accState(Self(), &state);
    std::printf("read\t%s\t%ld\t0x%08lx\n", Printable(name).c_str(), role.vt == VT_I4 ? role.lVal : -1L,
        state.vt == VT_I4 ? static_cast<unsigned long>(state.lVal) : 0UL);
    std::fflush(stdout);
    ::SysFreeString(name);
    return state.vt == VT_I4 && (state.lVal & STATE_SYSTEM_ALERT_HIGH) != 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const DWORD deadline = ::GetTickCount() + (argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60) * 1000;
    const bool close = argc > 2 && std::wcscmp(argv[2], L"close") == 0;
    const auto late = [&] { return static_cast<LONG>(::GetTickCount() - deadline) > 0; };
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, OnEvent, 0, 0, WINEVENT_OUTOFCONTEXT);

    HWND window = nullptr;
    while (!(window = ::FindWindowW(L"" RORA_WINDOW_TITLE, L"" RORA_WINDOW_TITLE)) || !::IsWindowVisible(window)) {
        if (late())
            return 2;
        Pump(20);
    }
    IAccessible* object = nullptr;
    if (FAILED(::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
            reinterpret_cast<void**>(&object))))
        return 4;
    // A failure shown before the hook was set has no event to wait for.
    alerted = Read(object) || alerted;

    while (!alerted && ::IsWindow(window)) {
        if (late())
            return 3;
        Pump(20);
    }
    if (alerted) {
        Read(object);
        if (close)
            ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    while (::IsWindow(window)) {
        if (late())
            return 3;
        Pump(20);
    }

    const DWORD asked = ::GetTickCount();
    BSTR name = nullptr;
    const HRESULT answer = object->get_accName(Self(), &name);
    std::printf("gone\t0x%08lx\t%lu\n", static_cast<unsigned long>(answer), ::GetTickCount() - asked);
    std::fflush(stdout);
    // The release goes to the window's process too, which may be waiting for its installer.
    const DWORD releasing = ::GetTickCount();
    object->Release();
    std::printf("released\t%lu\n", ::GetTickCount() - releasing);
    std::fflush(stdout);
    std::_Exit(0);
}
