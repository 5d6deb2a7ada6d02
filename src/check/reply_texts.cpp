#include "check/reply_texts.h"

#include <cstdio>
#include <cstring>

namespace {

// The kiss code of a stratum-0 reply, when its identifier is printable
// ASCII (RFC 4330 section 8); empty otherwise.
void kiss_code(const uint8_t id[4], char out[5]) {
  size_t n = 0;
  while (n < 4 && id[n] != 0) {
    if (id[n] < 0x20 || id[n] > 0x7E) {
      n = 0;
      break;
    }
    ++n;
  }
  std::memcpy(out, id, n);
  out[n] = '\0';
}

}  // namespace

const char kOffsetTooLargeText[] = "時刻の差が大きすぎるため、時刻は変更していません。";
const char kNoRandomNumberText[] = "乱数を生成できなかったため、リクエストを送信していません。";

void format_reply_problem(const ReplyEvaluation& evaluation, size_t length, char* out, size_t out_size) {
  const ServerInfo& info = evaluation.info;
  switch (evaluation.kind) {
    case DatagramKind::kNotOurs:
    case DatagramKind::kNotAnAnswer:  // says nothing: the check ignores it
      if (out_size > 0) out[0] = '\0';
      return;
    case DatagramKind::kUnreadable:
      std::snprintf(out, out_size, "サーバーからの応答が短すぎます (%u バイト)。", static_cast<unsigned>(length));
      return;
    case DatagramKind::kReply:
      break;
  }
  switch (evaluation.verdict) {
    case ReplyVerdict::kUsable:
      if (out_size > 0) out[0] = '\0';
      return;
    case ReplyVerdict::kNotServerMode:
      std::snprintf(out, out_size, "サーバーの応答ではないデータを受け取りました (モード %d)。時刻は変更していません。",
                    info.first_octet & 7);
      return;
    case ReplyVerdict::kKissOfDeath: {
      char code[5];
      kiss_code(info.reference_id, code);
      if (code[0] != '\0') {
        std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death %s)。時刻は変更していません。",
                      code);
      } else {
        std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death)。時刻は変更していません。");
      }
      return;
    }
    case ReplyVerdict::kStratumTooHigh:
      std::snprintf(out, out_size, "サーバーの階層 (stratum %u) が 1 から 15 の範囲にありません。時刻は変更していません。",
                    static_cast<unsigned>(info.stratum));
      return;
    case ReplyVerdict::kUnsynchronized:
      std::snprintf(out, out_size, "サーバーの時計が同期していません (閏秒指示子 3)。時刻は変更していません。");
      return;
    case ReplyVerdict::kNoTransmitTime:
      std::snprintf(out, out_size, "サーバーの応答に送信時刻が入っていません。時刻は変更していません。");
      return;
    case ReplyVerdict::kNoReceiveTime:
      std::snprintf(out, out_size, "サーバーの応答に受信時刻が入っていません。時刻は変更していません。");
      return;
  }
}

bool format_offset_text(int64_t offset, char* out, size_t out_size) {
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%+.0f msec", static_cast<double>(offset / kUnitsPerMs));
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    if (out_size > 0) out[0] = '\0';
    return false;
  }
  std::memcpy(out, text, static_cast<size_t>(n) + 1);
  return true;
}

void format_changed_text(int year, int month, int day, int hour, int minute, char* out, size_t out_size) {
  std::snprintf(out, out_size, "%04d/%02d/%02d %02d:%02d", year, month, day, hour, minute);
}
