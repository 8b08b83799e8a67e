// Calls crypt32 and bcrypt through the same delay-import libraries and delay-load hook as the
// bootstrapper, and prints what the calls returned and where each DLL was loaded from.
//   delay_load_probe both           search restricted at start-up and the hook, as the bootstrapper
//   delay_load_probe search-order   the restriction alone
//   delay_load_probe hook           the hook alone (a Windows 7 without the search flags)
//   delay_load_probe none           neither: the ordinary search finds a planted DLL
#include "sys/system_library.h"

#include <windows.h>
#include <bcrypt.h>
#include <delayimp.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

extern "C" PfnDliHook __pfnDliNotifyHook2;

namespace {

void PrintLoadedFrom(const wchar_t* dll)
{
    wchar_t path[MAX_PATH] = L"(not loaded)";
    if (const HMODULE module = ::GetModuleHandleW(dll))
        ::GetModuleFileNameW(module, path, MAX_PATH);
    std::printf("%ls\t%ls\n", dll, path);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode != L"both" && mode != L"search-order" && mode != L"hook" && mode != L"none")
        return 2;
    if (mode == L"both" || mode == L"search-order")
        sys::RestrictDllSearchToSystem();
    if (mode == L"search-order" || mode == L"none")
        __pfnDliNotifyHook2 = nullptr;

    if (::GetModuleHandleW(L"bcrypt.dll") || ::GetModuleHandleW(L"crypt32.dll")) {
        std::printf("loaded before the first call\n");
        return 3;
    }

    unsigned char random[8];
    const NTSTATUS status = ::BCryptGenRandom(nullptr, random, sizeof random, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    std::printf("BCryptGenRandom\t%ld\n", static_cast<long>(status));
    const HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    std::printf("CertOpenStore\t%s\n", store ? "store" : "null");
    if (store)
        ::CertCloseStore(store, 0);

    PrintLoadedFrom(L"bcrypt.dll");
    PrintLoadedFrom(L"crypt32.dll");
    std::fflush(stdout);
    return 0;
}
