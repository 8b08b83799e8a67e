// Placeholder until the window lands: no window, so start-up ends after the mutex.
#include "app/application.h"

namespace gui {

bool Application::RegisterWindowClass()
{
    return false;
}

bool Application::CreateMainWindow(int)
{
    return false;
}

} // namespace gui
