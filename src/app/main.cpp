#include "app/application.h"
#include "sys/system_library.h"

#include <windows.h>

#include <memory>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int showCommand)
{
    // Before anything loads a DLL at run time: never from the program's own folder.
    sys::RestrictDllSearchToSystem();

    int exitCode = 0;
    try {
        auto application = std::make_unique<gui::Application>(instance, showCommand, commandLine ? commandLine : L"");
        exitCode = application->RunMessageLoop();
    } catch (...) {
        // Only an allocation failure can get here; there is no window left to tell.
        exitCode = 1;
    }
    return exitCode;
}
