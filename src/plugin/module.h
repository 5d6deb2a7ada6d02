// The module instance handle: dialog templates and string resources are
// loaded from it. The entry routine records it.
#pragma once

#include <windows.h>

HINSTANCE module_instance();
void set_module_instance(HINSTANCE instance);
