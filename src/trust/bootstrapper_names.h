#pragma once

// The names this program's version resource gives it (res/app.rc). A file whose version resource
// gives either, in any release, is a bootstrapper and never the installer.
#define RORA_BOOTSTRAPPER_INTERNAL_NAME "RoraREZIdadezo15Setup"
#define RORA_BOOTSTRAPPER_ORIGINAL_FILENAME "RoraREZIdadezo15Setup.exe"
