/* A DLL that someone leaves in a Downloads folder under the name of a system DLL (the tests
 * copy it as crypt32.dll, bcrypt.dll, ...). Whenever a process loads it, it appends that
 * program's path to "<its own path>.loaded". Its exports are stand-ins with the names and
 * argument sizes of functions the test programs import; none of them does anything. */
#include <windows.h>

static void RecordLoad(HMODULE self)
{
    wchar_t marker[MAX_PATH + 8];
    const DWORD length = GetModuleFileNameW(self, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    lstrcpyW(marker + length, L".loaded");

    wchar_t program[MAX_PATH];
    const DWORD programLength = GetModuleFileNameW(NULL, program, MAX_PATH);
    char line[3 * MAX_PATH + 2];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, program, (int)programLength, line, 3 * MAX_PATH, NULL, NULL);
    if (bytes < 0)
        bytes = 0;
    line[bytes++] = '\n';

    HANDLE file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, line, (DWORD)bytes, &written, NULL);
    CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH)
        RecordLoad(instance);
    return TRUE;
}

/* crypt32 */
__declspec(dllexport) void* WINAPI CertOpenStore(LPCSTR provider, DWORD encoding, void* cryptProvider, DWORD flags,
                                                 const void* parameter)
{
    (void)provider, (void)encoding, (void)cryptProvider, (void)flags, (void)parameter;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return NULL;
}

__declspec(dllexport) BOOL WINAPI CertCloseStore(void* store, DWORD flags)
{
    (void)store, (void)flags;
    return FALSE;
}

/* bcrypt: STATUS_NOT_IMPLEMENTED */
__declspec(dllexport) LONG WINAPI BCryptGenRandom(void* algorithm, unsigned char* buffer, ULONG size, ULONG flags)
{
    (void)algorithm, (void)buffer, (void)size, (void)flags;
    return (LONG)0xC0000002L;
}

/* winhttp */
__declspec(dllexport) BOOL WINAPI WinHttpGetIEProxyConfigForCurrentUser(void* config)
{
    (void)config;
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

/* uxtheme: E_NOTIMPL */
__declspec(dllexport) LONG WINAPI SetWindowTheme(HWND window, LPCWSTR application, LPCWSTR classes)
{
    (void)window, (void)application, (void)classes;
    return (LONG)0x80004001L;
}

/* oleacc */
__declspec(dllexport) LONG WINAPI AccessibleObjectFromWindow(HWND window, DWORD object, const GUID* iid, void** result)
{
    (void)window, (void)object, (void)iid;
    if (result)
        *result = NULL;
    return (LONG)0x80004001L;
}

/* ole32 */
__declspec(dllexport) void WINAPI CoUninitialize(void)
{
}

/* oleaut32 */
__declspec(dllexport) void WINAPI SysFreeString(wchar_t* text)
{
    (void)text;
}
