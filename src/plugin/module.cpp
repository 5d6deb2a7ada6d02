#include "plugin/module.h"

static HINSTANCE g_instance;

HINSTANCE module_instance() { return g_instance; }

void set_module_instance(HINSTANCE instance) { g_instance = instance; }
