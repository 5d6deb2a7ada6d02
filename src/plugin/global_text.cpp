#include "plugin/global_text.h"

#include <windows.h>

char* alloc_text(size_t size) {
  return static_cast<char*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
}

char* copy_text(const char* text) {
  if (text == nullptr) return nullptr;
  char* copy = alloc_text(static_cast<size_t>(lstrlenA(text)) + 1);
  if (copy != nullptr) lstrcpyA(copy, text);
  return copy;
}

void free_text(char* text) {
  if (text != nullptr) GlobalFree(text);
}

void replace_text(char** field, char* text) {
  free_text(*field);
  *field = text;
}
