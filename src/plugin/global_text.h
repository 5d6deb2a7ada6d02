// Texts on the global heap. Every text the plug-in hands to the host, and
// every ProbeState, is a fixed, zero-filled global-heap block, so its pointer
// is also the handle GlobalFree takes and either side may free it.
#pragma once

#include <cstddef>

// A zero-filled block of `size` bytes, or null when memory is short.
char* alloc_text(size_t size);
// A new copy of `text`; null for a null text or when memory is short.
char* copy_text(const char* text);
// Frees a text (null is fine).
void free_text(char* text);
// Frees what `*field` holds and puts `text` (possibly null) in its place.
void replace_text(char** field, char* text);
