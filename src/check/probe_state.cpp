#include "check/probe_state.h"

#include <windows.h>

ProbeState* new_probe_state() {
  return static_cast<ProbeState*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, sizeof(ProbeState)));
}

void free_probe_state(ProbeState* probe) {
  if (probe != nullptr) GlobalFree(probe);
}
