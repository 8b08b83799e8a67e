/* The planting experiment's control: a program that imports crypt32, bcrypt, winhttp, uxtheme,
 * oleacc, ole32 and oleaut32 the ordinary way. The loader resolves these imports before main runs, looking in
 * the program's own folder first, so DLLs of those names placed beside it are loaded. */
#include <windows.h>
#include <bcrypt.h>
#include <uxtheme.h>
#include <wincrypt.h>
#include <winhttp.h>
#include <ole2.h>
#include <oleacc.h>

#include <stdio.h>

int main(int argc, char** argv)
{
    (void)argv;
    /* Never true: the calls only make the imports; loading them is the experiment. */
    if (argc > 1000) {
        CertCloseStore(NULL, 0);
        BCryptGenRandom(NULL, NULL, 0, 0);
        WinHttpGetIEProxyConfigForCurrentUser(NULL);
        SetWindowTheme(NULL, NULL, NULL);
        AccessibleObjectFromWindow(NULL, 0, NULL, NULL);
        CoUninitialize();
        SysFreeString(NULL);
    }
    puts("control ran");
    return 0;
}
