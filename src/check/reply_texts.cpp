#include "check/reply_texts.h"

#include <cstdio>
#include <cstring>

namespace {

// The kiss code of a stratum-0 reply, when its identifier is printable
// ASCII (RFC 4330 section 8); empty otherwise.
void kiss_code_text(const uint8_t id[4], char out[5]) {
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

// Every text of a refusal says what happened, then kUnchanged, then what to
// do: kTryLater after a server that may answer well later, kTryAnother
// after one that will not.
constexpr char kUnchanged[] = "時刻は変更していません。";
constexpr char kTryLater[] = "しばらくしてからもう一度チェックするか、別のサーバーを指定してください。";
constexpr char kTryAnother[] = "別のサーバーを指定してください。";
// A back-off lives only in the loaded module.
constexpr char kRestartEndsWait[] = "ホストを起動し直すと、待つのをやめます。";

void format_kiss(const ServerInfo& info, char* out, size_t out_size) {
  char code[5];
  kiss_code_text(info.reference_id, code);
  const KissCode kind = kiss_code_of(info.reference_id);
  if (kind == KissCode::kInit || kind == KissCode::kStep) {
    std::snprintf(out, out_size, "サーバー自身の時刻がまだ同期していません (Kiss-o'-Death %s)。%s%s", code,
                  kUnchanged, kTryLater);
  } else if (code[0] != '\0') {
    std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death %s)。%s%s", code, kUnchanged,
                  kTryAnother);
  } else {
    std::snprintf(out, out_size, "サーバーが時刻の提供を断りました (Kiss-o'-Death)。%s%s", kUnchanged, kTryAnother);
  }
}

}  // namespace

const char kOffsetTooLargeText[] =
    "このコンピューターの時刻とサーバーの時刻のずれが大きすぎて (およそ 317 年以上)、扱えません。"
    "時刻は変更していません。このコンピューターの日付と時刻を手で正しく合わせてから、もう一度チェックしてください。";
const char kNoRandomNumberText[] =
    "乱数を生成できなかったため、リクエストを送信していません。時刻は変更していません。"
    "続くときは、ホストを起動し直してください。それでも続くときは、Windows を再起動してください。";
const char kNoServerNameText[] =
    "サーバーが指定されていません。時刻は変更していません。"
    "プロパティの「全般」ページでサーバーを指定してください。";

CalendarTime utc_calendar_time(uint64_t filetime) {
  // Days and seconds since 1970-01-01, then the civil date of the day count
  // (the proleptic Gregorian calendar, in 400-year eras from 0000-03-01).
  constexpr int64_t kSeconds1601To1970 = 11'644'473'600;
  const int64_t seconds = static_cast<int64_t>(filetime / kUnitsPerSecond) - kSeconds1601To1970;
  int64_t days = seconds / 86'400;
  int64_t in_day = seconds % 86'400;
  if (in_day < 0) {
    in_day += 86'400;
    --days;
  }
  days += 719'468;
  const int64_t era = (days >= 0 ? days : days - 146'096) / 146'097;
  const int64_t day_of_era = days - era * 146'097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;  // from March
  const int month = static_cast<int>(month_index < 10 ? month_index + 3 : month_index - 9);
  return CalendarTime{static_cast<int>(year_of_era + era * 400 + (month <= 2 ? 1 : 0)),
                      month,
                      static_cast<int>(day_of_year - (153 * month_index + 2) / 5 + 1),
                      static_cast<int>(in_day / 3600),
                      static_cast<int>(in_day / 60 % 60),
                      static_cast<int>(in_day % 60)};
}

void format_reply_problem(const ReplyEvaluation& evaluation, size_t length, char* out, size_t out_size) {
  const ServerInfo& info = evaluation.info;
  switch (evaluation.kind) {
    case DatagramKind::kNotOurs:
    case DatagramKind::kNotAnAnswer:  // says nothing: the check ignores it
    case DatagramKind::kNetworkReport:  // the time-out tells of it, if nothing better comes
    case DatagramKind::kReadFailed:     // the system's text of the error says it
      if (out_size > 0) out[0] = '\0';
      return;
    case DatagramKind::kUnreadable:
      std::snprintf(out, out_size,
                    "サーバーからの応答が短すぎます (%u バイト)。%s%s"
                    "どのサーバーでも起きるときは、ネットワークの管理者に相談してください。",
                    static_cast<unsigned>(length), kUnchanged, kTryAnother);
      return;
    case DatagramKind::kReply:
      break;
  }
  switch (evaluation.verdict) {
    case ReplyVerdict::kNone:
    case ReplyVerdict::kUsable:
      if (out_size > 0) out[0] = '\0';
      return;
    case ReplyVerdict::kNotServerMode:
      std::snprintf(out, out_size, "サーバーの応答ではないデータを受け取りました (モード %d)。%s%s",
                    info.first_octet & 7, kUnchanged, kTryAnother);
      return;
    case ReplyVerdict::kKissOfDeath:
      format_kiss(info, out, out_size);
      return;
    case ReplyVerdict::kStratumTooHigh:
      std::snprintf(out, out_size, "サーバー自身の時刻がまだ同期していません (stratum %u。使えるのは 1 から 15)。%s%s",
                    static_cast<unsigned>(info.stratum), kUnchanged, kTryLater);
      return;
    case ReplyVerdict::kUnsynchronized:
      std::snprintf(out, out_size, "サーバー自身の時刻がまだ同期していません (うるう秒指示子 3)。%s%s", kUnchanged,
                    kTryLater);
      return;
    case ReplyVerdict::kNoTransmitTime:
      std::snprintf(out, out_size, "サーバーの応答に送信時刻が入っていません。%s%s", kUnchanged, kTryAnother);
      return;
    case ReplyVerdict::kNoReceiveTime:
      std::snprintf(out, out_size, "サーバーの応答に受信時刻が入っていません。%s%s", kUnchanged, kTryAnother);
      return;
    case ReplyVerdict::kBeforeRelease: {
      const CalendarTime t = utc_calendar_time(evaluation.server_time);
      std::snprintf(out, out_size,
                    "サーバーの時刻 (%04d/%02d/%02d %02d:%02d UTC) が、このプラグインのビルド日時の 1 日前より前です。"
                    "%sサーバーの時刻が正しいかを確認するか、別のサーバーを指定してください。",
                    t.year, t.month, t.day, t.hour, t.minute, kUnchanged);
      return;
    }
    case ReplyVerdict::kContradictoryTimes:
      std::snprintf(out, out_size,
                    "サーバーの応答の時刻が互いに矛盾しています (サーバーでの処理時間 %+.3f 秒、往復時間 %+.3f 秒)。"
                    "サーバーが時刻を正しく記録していないか、やり取りの間にこのコンピューターの時刻が変わりました。%s%s",
                    static_cast<double>(evaluation.server_hold) / kUnitsPerSecond,
                    static_cast<double>(evaluation.round_trip) / kUnitsPerSecond, kUnchanged, kTryLater);
      return;
  }
}

void format_backoff_text(KissCode code, const CalendarTime& until, char* out, size_t out_size) {
  char when[32];
  std::snprintf(when, sizeof when, "%04d/%02d/%02d %02d:%02d:%02d", until.year, until.month, until.day, until.hour,
                until.minute, until.second);
  if (code == KissCode::kRate) {
    std::snprintf(out, out_size,
                  "サーバーからリクエストの間隔を空けるよう求められました (Kiss-o'-Death RATE)。"
                  "このコンピューターの時刻で %s まで、このサーバーにはリクエストを送りません。%s"
                  "チェックの間隔を長くしてください。%s",
                  when, kUnchanged, kRestartEndsWait);
  } else {
    std::snprintf(out, out_size,
                  "サーバーがこのコンピューターからのリクエストを拒否しました (Kiss-o'-Death %s)。"
                  "このコンピューターの時刻で %s まで、このサーバーにはリクエストを送りません。%s%s"
                  "社内のサーバーなら、アクセスの制限をサーバーの管理者に確認してもらってください。%s",
                  code == KissCode::kDeny ? "DENY" : "RSTR", when, kUnchanged, kTryAnother, kRestartEndsWait);
  }
}

void format_unconfirmed_step(int64_t first, int64_t second, char* out, size_t out_size) {
  std::snprintf(out, out_size,
                "ずれが 1000 秒以上あったため、もう一度リクエストを送って確認しましたが、"
                "2 回のずれが 1 秒以内で一致しませんでした (%+.1f 秒と %+.1f 秒)。%s%s",
                static_cast<double>(first) / kUnitsPerSecond, static_cast<double>(second) / kUnitsPerSecond,
                kUnchanged, kTryLater);
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
