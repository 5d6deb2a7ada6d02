// The import patch helpers now live in import_patch.h; this name is kept so
// that tests written against it still build.
#pragma once

#include "import_patch.h"
