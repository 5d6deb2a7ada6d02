#include "plugin/error_and_status.h"

#include <commctrl.h>

#include <cstdarg>
#include <cstdio>

#include "plugin/global_text.h"
#include "plugin/module.h"

namespace {

constexpr char kUnknownError[] = "未知のエラー。";
constexpr int kStringBufferSize = 1024;
constexpr int kStatusBufferSize = 8192;

// True when the system has a message for `code` in the user's language;
// `*text` then receives a copy of it (null when memory is short).
bool system_message(int code, char** text) {
  char* buffer = nullptr;
  // No arguments are passed, so a message's inserts ("%1") stay as they are
  // rather than being filled from memory that holds none.
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                      FORMAT_MESSAGE_MAX_WIDTH_MASK;
  const DWORD length = FormatMessageA(flags, nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<char*>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return false;
  *text = copy_text(buffer);
  LocalFree(buffer);
  return true;
}

bool is_sockets_code(int code) { return code >= 10000 && code <= 11999; }

// A copy of entry `id` of the module's string table, through `*text` (null
// when memory is short); false when the table has no such entry.
bool string_entry(unsigned id, char** text) {
  char entry[kStringBufferSize];
  if (LoadStringA(module_instance(), id, entry, sizeof entry) <= 0) return false;
  *text = copy_text(entry);
  return true;
}

}  // namespace

void set_item_error(CheckItem* item, int code) {
  replace_text(&item->error_text, nullptr);
  if (code == 0) return;
  if (system_message(code, &item->error_text)) return;
  if (is_sockets_code(code) && string_entry(static_cast<unsigned>(code), &item->error_text)) return;
  item->error_text = copy_text(kUnknownError);
}

void set_item_error_string(CheckItem* item, unsigned id) {
  replace_text(&item->error_text, nullptr);
  if (!string_entry(id, &item->error_text)) item->error_text = copy_text(kUnknownError);
}

void set_item_error_text(CheckItem* item, const char* text) { replace_text(&item->error_text, copy_text(text)); }

int show_status(HWND window, const char* format, ...) {
  char* line = alloc_text(kStatusBufferSize);
  if (line == nullptr) return 0;
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(line, kStatusBufferSize, format, args);
  va_end(args);
  if (length < 0) length = 0;
  if (length >= kStatusBufferSize) length = kStatusBufferSize - 1;
  SendDlgItemMessageA(window, STATUS_BAR_ID, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(line));
  free_text(line);
  return length;
}
