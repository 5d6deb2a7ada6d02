// The records and window messages shared with the host application.
//
// The host owns every CheckItem and the texts it points to; the plug-in reads
// and replaces only the fields named here, at the byte offsets the host was
// built with (32-bit layout). Nothing in this header needs windows.h, so the
// pure code and the native tests can use the same definitions.
#pragma once

#include <cstddef>
#include <cstdint>

struct ProbeState;

// Window messages. Windows Sockets posts the first two to the host window the
// plug-in names; the plug-in sends the other two itself.
constexpr uint32_t kWmUser = 0x0400;
constexpr uint32_t MSG_GETHOST_DONE = kWmUser + 1;      // wParam lookup handle, HIWORD(lParam) error
constexpr uint32_t MSG_SOCKET_EVENT = kWmUser + 2;      // wParam socket, LOWORD event, HIWORD error
constexpr uint32_t MSG_CHECK_END = kWmUser + 3;         // wParam CheckResult, lParam CheckItem*
constexpr uint32_t MSG_GET_HOST_VERSION = kWmUser + 5;  // lParam: 32-byte buffer for the version text

// Control identifier of the status bar child of the host window.
constexpr int STATUS_BAR_ID = 103;
// Size of the buffer the host fills in answer to MSG_GET_HOST_VERSION.
constexpr size_t kHostVersionTextSize = 32;
// The host's version packed one byte per component: major in the top byte,
// then minor, revision and build; 0 when the host gave no usable answer.
using HostVersion = uint32_t;

// Code carried by MSG_CHECK_END.
enum CheckResult : uint32_t {
  CHECK_OK_QUIET = 0,  // succeeded, nothing to announce (the clock may have moved quietly)
  // The host announces the item: its clock was moved, or (an item that
  // only measures) the offset it measured reached the item's threshold.
  CHECK_CHANGED = 1,
  CHECK_FAILED = 2,    // failed; error_text holds the reason where one is known
  CHECK_TIMEOUT = 4,   // no answer in time
};

// Return codes of the item operations.
constexpr int32_t kOpNoFailure = 0;  // nothing failed: done, still in progress, or nothing to do
constexpr int32_t kOpFailed = -1;    // failed; error_text says why where a reason is known
constexpr int32_t kOpCheckOver = 2;  // the check is over and MSG_CHECK_END has been sent

// flags bit 0: the host keeps the "*" marks of offset_text and changed_text.
constexpr uint8_t kKeepMarks = 0x01;

// The host's record for one item. Unnamed bytes belong to the host and are
// never touched. Texts are null or fixed global-heap blocks (pointer == handle).
struct CheckItem {
  uint8_t host0[8];
  char* title;          // 8
  char* address;        // 12  "sntp://" and the server
  char* offset_text;    // 16  last applied offset, "%+.0f msec"
  char* changed_text;   // 20  local time of the last clock change
  uint8_t flags;        // 24  bit 0: keep_marks
  uint8_t host25[19];
  char* options;        // 44  OptionString
  uint8_t host48[4];
  char* comment;        // 52
  uint8_t host56[4];
  char* error_text;     // 60  last error message
  char* server_info;    // 64  ServerInfoString
  uint8_t host68[8];
  uintptr_t socket;     // 76  socket handle, kNoSocket when none
  uint8_t host80[4];
  uintptr_t lookup_handle;  // 84  asynchronous lookup handle, 0 when none
  uint8_t host88[4];
  ProbeState* probe;    // 92  working record of a running check, null when none
  uint8_t host96[12];
  int32_t tick_count;   // 108 timer ticks since the last sign of life; -1 when not counting
  uint32_t reserved_counter;  // 112
};

constexpr uintptr_t kNoSocket = ~uintptr_t{0};  // INVALID_SOCKET

// GetProtocolList fills one of these per protocol.
struct ProtocolEntry {
  uint8_t host0[4];
  char name[256];        // 4    "SNTP"
  char prefix[256];      // 260  "SNTP_"
  char text516[256];     // 516  empty
  int32_t value772;      // 772  0
  char text776[256];     // 776  empty
  int32_t value1032;     // 1032 -1
};

// One command the host offers on an item (its context menu). Like the
// host's other fields whose meaning is not known, the two numbers are named
// by their byte offset; the item type has always given them 1 and 0.
struct ItemCommand {
  char label[256];    // 0    "開く(&O)"
  char command[256];  // 256  "open", passed back to SNTP_ExecItem
  int32_t value512;     // 512  1
  int32_t value516;     // 516  0
};

// SNTP_GetInfo fills this to describe the item type.
struct ItemTypeInfo {
  uint8_t host0[4];
  char scheme[256];         // 4    "sntp://"
  char menu_text[256];      // 260  menu entry that adds an item
  char text516[256];        // 516  empty
  ItemCommand* commands;    // 772  global-heap array, owned by the host afterwards
  int32_t command_count;    // 776
};

#if UINTPTR_MAX == 0xFFFFFFFFu
// The host is a 32-bit program: these offsets are its, not ours to choose.
static_assert(offsetof(CheckItem, title) == 8);
static_assert(offsetof(CheckItem, address) == 12);
static_assert(offsetof(CheckItem, offset_text) == 16);
static_assert(offsetof(CheckItem, changed_text) == 20);
static_assert(offsetof(CheckItem, flags) == 24);
static_assert(offsetof(CheckItem, options) == 44);
static_assert(offsetof(CheckItem, comment) == 52);
static_assert(offsetof(CheckItem, error_text) == 60);
static_assert(offsetof(CheckItem, server_info) == 64);
static_assert(offsetof(CheckItem, socket) == 76);
static_assert(offsetof(CheckItem, lookup_handle) == 84);
static_assert(offsetof(CheckItem, probe) == 92);
static_assert(offsetof(CheckItem, tick_count) == 108);
static_assert(offsetof(CheckItem, reserved_counter) == 112);
static_assert(sizeof(CheckItem) == 116);

static_assert(offsetof(ItemTypeInfo, commands) == 772);
static_assert(offsetof(ItemTypeInfo, command_count) == 776);
static_assert(sizeof(ItemTypeInfo) == 780);
#endif

static_assert(offsetof(ProtocolEntry, name) == 4);
static_assert(offsetof(ProtocolEntry, prefix) == 260);
static_assert(offsetof(ProtocolEntry, text516) == 516);
static_assert(offsetof(ProtocolEntry, value772) == 772);
static_assert(offsetof(ProtocolEntry, text776) == 776);
static_assert(offsetof(ProtocolEntry, value1032) == 1032);
static_assert(sizeof(ProtocolEntry) == 1036);

static_assert(offsetof(ItemCommand, command) == 256);
static_assert(offsetof(ItemCommand, value512) == 512);
static_assert(offsetof(ItemCommand, value516) == 516);
static_assert(sizeof(ItemCommand) == 520);
static_assert(offsetof(ItemTypeInfo, scheme) == 4);
static_assert(offsetof(ItemTypeInfo, menu_text) == 260);
static_assert(offsetof(ItemTypeInfo, text516) == 516);
