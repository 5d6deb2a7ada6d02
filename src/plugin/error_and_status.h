// Reporting to the host: the error text of an item and the progress line in
// the host's status bar, which the check and the exchange write through.
#pragma once

#include <windows.h>

#include "plugin/host_contract.h"

// Progress of a check, in the order they can appear.
constexpr char kStatusLookingUp[] = "IPアドレスを取得中...";
constexpr char kStatusSending[] = "リクエストを送信中...";
// A check asks the server again when its reply leaves doubt.
constexpr char kStatusAskingAgainLate[] = "応答が遅れたため、もう一度リクエストを送信中...";
constexpr char kStatusAskingAgainNearThreshold[] = "ずれがしきい値に近いため、もう一度リクエストを送信中...";
constexpr char kStatusReceiving[] = "応答を受信中...";
constexpr char kStatusDone[] = "チェック終了";

// The error text of a lookup completion for an item with no lookup pending
// (a completion delivered twice, or for the wrong item); the check ends as
// failed.
constexpr char kNoLookupPendingText[] =
    "名前解決の結果が届きましたが、このアイテムは名前解決を待っていなかったため、チェックを失敗として終えました。"
    "時刻は変更していません。もう一度チェックしてください。続くときは、ホストを起動し直してください。";

// Replaces the item's error_text with the message for a Windows Sockets or
// system error code: the system's own text where it has one, else the
// module's string table entry for codes 10000 to 11999, else "未知のエラー。".
// Code 0 just clears it. When memory is short the text stays null.
void set_item_error(CheckItem* item, int code);

// Replaces the item's error_text with entry `id` of the module's string
// table ("未知のエラー。" when it has none).
void set_item_error_string(CheckItem* item, unsigned id);

// Replaces the item's error_text with a copy of `text` (null when memory is short).
void set_item_error_text(CheckItem* item, const char* text);

// Formats one line into the status bar (child 103 of `window`, part 0) and
// returns its length; 0 when nothing could be formatted.
int show_status(HWND window, const char* format, ...) __attribute__((format(printf, 2, 3)));
