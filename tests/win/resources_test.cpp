// The dialog templates and the string table as the built sntp.dll holds them,
// read back with FindResource and LoadResource and compared with what they
// must be: every control's id, class, style, position and text, each page's
// caption, size and font, and the 89 Windows Sockets error texts. A slip in
// res/dialogs.rc or res/strings.rc shows here.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "plugin_test.h"
#include "resource.h"

namespace {

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);
const std::u16string kFont = u"ＭＳ Ｐゴシック";

struct Control {
  int id;
  std::u16string class_name;
  DWORD style;
  DWORD ex_style;
  short x, y, cx, cy;
  std::u16string text;
};

struct Dialog {
  int id;
  bool extended;  // DIALOGEX
  DWORD style;
  std::u16string caption;
  short x, y, cx, cy;
  WORD point_size;
  WORD weight;   // DIALOGEX only
  BYTE italic;   // DIALOGEX only
  BYTE charset;  // DIALOGEX only
  std::u16string font;
  std::vector<Control> controls;
};

// Reads a dialog template, DIALOG or DIALOGEX, in the layout the resource
// compiler writes: fixed fields, then strings or ordinals of UTF-16 units,
// each control starting on a 4-byte boundary from the template's start.
class TemplateReader {
 public:
  explicit TemplateReader(const uint8_t* start) : start_(start), p_(start) {}
  template <typename T>
  T read() {
    T value;
    std::memcpy(&value, p_, sizeof value);
    p_ += sizeof value;
    return value;
  }
  std::u16string text() {
    std::u16string s;
    for (char16_t c = read<char16_t>(); c != 0; c = read<char16_t>()) s += c;
    return s;
  }
  // A name or an ordinal (0xFFFF and a number); the classes the compiler
  // turns into ordinals come back as their names.
  std::u16string name_or_ordinal() {
    char16_t first;
    std::memcpy(&first, p_, sizeof first);
    if (first != 0xFFFF) return text();
    read<char16_t>();
    switch (const WORD ordinal = read<WORD>()) {
      case 0x80: return u"BUTTON";
      case 0x81: return u"EDIT";
      case 0x82: return u"STATIC";
      default: {
        const std::string number = "#" + std::to_string(ordinal);
        return std::u16string(number.begin(), number.end());
      }
    }
  }
  void align() {
    while ((p_ - start_) % 4 != 0) ++p_;
  }

 private:
  const uint8_t* start_;
  const uint8_t* p_;
};

Dialog read_dialog(const uint8_t* bytes) {
  TemplateReader r(bytes);
  Dialog d{};
  d.extended = r.read<WORD>() == 1 && r.read<WORD>() == 0xFFFF;
  if (!d.extended) r = TemplateReader(bytes);
  if (d.extended) r.read<DWORD>();  // help id
  DWORD ex_style = r.read<DWORD>();
  d.style = r.read<DWORD>();
  if (!d.extended) std::swap(ex_style, d.style);  // DIALOG has the style first
  const WORD count = r.read<WORD>();
  d.x = r.read<short>();
  d.y = r.read<short>();
  d.cx = r.read<short>();
  d.cy = r.read<short>();
  EXPECT_EQ(r.name_or_ordinal(), u"") << "a menu";
  EXPECT_EQ(r.name_or_ordinal(), u"") << "a dialog class";
  d.caption = r.text();
  if (d.style & DS_SETFONT) {
    d.point_size = r.read<WORD>();
    if (d.extended) {
      d.weight = r.read<WORD>();
      d.italic = r.read<BYTE>();
      d.charset = r.read<BYTE>();
    }
    d.font = r.text();
  }
  for (WORD i = 0; i < count; ++i) {
    r.align();
    Control c{};
    if (d.extended) {
      r.read<DWORD>();  // help id
      c.ex_style = r.read<DWORD>();
      c.style = r.read<DWORD>();
    } else {
      c.style = r.read<DWORD>();
      c.ex_style = r.read<DWORD>();
    }
    c.x = r.read<short>();
    c.y = r.read<short>();
    c.cx = r.read<short>();
    c.cy = r.read<short>();
    c.id = d.extended ? static_cast<int>(r.read<int32_t>()) : static_cast<int>(r.read<int16_t>());
    c.class_name = r.name_or_ordinal();
    c.text = r.name_or_ordinal();
    const WORD extra = r.read<WORD>();
    for (WORD k = 0; k < extra; ++k) r.read<BYTE>();
    d.controls.push_back(c);
  }
  return d;
}

std::string utf8(const std::u16string& text) {
  if (text.empty()) return "";
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

// A dialog's or a control's fields as one line, so that a difference reads
// at a glance. Window class names do not depend on case (the compiler writes
// them in capitals).
std::string describe(const Dialog& d) {
  char line[160];
  std::snprintf(line, sizeof line, "%s style %08lX at %d,%d size %dx%d font %u pt weight %u italic %u charset %u ",
                d.extended ? "DIALOGEX" : "DIALOG", static_cast<unsigned long>(d.style), d.x, d.y, d.cx, d.cy,
                d.point_size, d.weight, d.italic, d.charset);
  return line + utf8(d.font) + " caption " + utf8(d.caption);
}

std::string describe(const Control& c) {
  char line[160];
  std::snprintf(line, sizeof line, "id %d style %08lX extended %08lX at %d,%d size %dx%d ", c.id,
                static_cast<unsigned long>(c.style), static_cast<unsigned long>(c.ex_style), c.x, c.y, c.cx, c.cy);
  std::string class_name = utf8(c.class_name);
  for (char& ch : class_name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return line + class_name + " \"" + utf8(c.text) + "\"";
}

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kLabel = kChild | WS_GROUP | SS_CENTERIMAGE;
constexpr DWORD kEdit = kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
constexpr DWORD kGroupBox = kChild | BS_GROUPBOX;
constexpr DWORD kCheckBox = kChild | BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kPage = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;

const Dialog kDialogs[] = {
    {IDD_GENERAL, false, kPage, u"全般", 0, 0, 223, 225, 9, 0, 0, 0, kFont,
     {
         {-1, u"STATIC", kLabel, 0, 7, 7, 38, 11, u"タイトル"},
         {IDC_TITLE, u"EDIT", kEdit, 0, 7, 19, 134, 14, u""},
         {-1, u"STATIC", kLabel, 0, 7, 41, 156, 12, u"サーバー(参照: TimeServers.txt)"},
         {IDC_SERVER, u"EDIT", kEdit, 0, 7, 56, 155, 12, u""},
         {-1, u"STATIC", kLabel, 0, 170, 40, 32, 12, u"ポート"},
         {IDC_PORT, u"EDIT", kEdit, 0, 170, 55, 43, 12, u""},
         {-1, u"STATIC", kChild | WS_GROUP, 0, 7, 166, 60, 10, u"コメント"},
         {IDC_COMMENT, u"EDIT", kEdit | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 0, 7, 176, 206, 40, u""},
         {IDC_ERROR_TEXT, u"STATIC", kChild | WS_GROUP, 0, 14, 90, 193, 58, u"エラーテキスト"},
         {-1, u"BUTTON", kGroupBox, 0, 7, 75, 206, 80, u"エラー状態"},
     }},
    {IDD_OPTIONS, true, kPage, u"オプション", 0, 0, 223, 225, 9, 0, 0, SHIFTJIS_CHARSET, kFont,
     {
         {IDC_SKIP_SMALL_OFFSETS, u"BUTTON", kCheckBox, 0, 10, 16, 151, 14, u"時刻の差が次の値より小さいときは同期しない"},
         {-1, u"BUTTON", kGroupBox, WS_EX_TRANSPARENT, 6, 7, 203, 82, u""},
         {IDC_THRESHOLD, u"EDIT", kEdit, 0, 30, 39, 38, 15, u""},
         {IDC_THRESHOLD_SPIN, u"msctls_updown32", kChild | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_AUTOBUDDY | UDS_ARROWKEYS,
          0, 106, 39, 9, 15, u"Spin1"},
         {-1, u"STATIC", kLabel, 0, 78, 40, 21, 14, u"ミリ秒"},
         {IDC_QUIET_UPDATE, u"BUTTON", kCheckBox, 0, 10, 69, 151, 14, u"時刻を変更しても更新ウィンドウを出さない"},
         {IDC_MEASURE_ONLY, u"BUTTON", kCheckBox, 0, 10, 97, 199, 14, u"時刻を変更せず、ずれの確認だけを行う"},
     }},
    {IDD_INFO, false, kPage, u"情報", 0, 0, 223, 225, 9, 0, 0, 0, kFont,
     {
         {-1, u"BUTTON", kGroupBox, 0, 6, 8, 148, 186, u"サーバーの情報"},
         {-1, u"STATIC", kLabel, 0, 15, 22, 31, 11, u"Version:"},
         {IDC_INFO_VERSION, u"STATIC", kLabel, 0, 88, 22, 58, 11, u"不明"},
         {-1, u"STATIC", kLabel, 0, 15, 42, 31, 11, u"Stratum:"},
         {IDC_INFO_STRATUM, u"STATIC", kLabel, 0, 88, 42, 58, 11, u"不明"},
         {-1, u"STATIC", kLabel, 0, 15, 62, 51, 11, u"ポーリング間隔:"},
         {IDC_INFO_POLL, u"STATIC", kLabel, 0, 88, 62, 58, 11, u"不明"},
         {-1, u"STATIC", kLabel, 0, 15, 82, 31, 11, u"精度:"},
         {IDC_INFO_PRECISION, u"STATIC", kLabel, 0, 88, 82, 58, 11, u"不明"},
         {-1, u"STATIC", kLabel, 0, 15, 102, 31, 11, u"参照ID:"},
         {IDC_INFO_REFERENCE_ID, u"STATIC", kLabel, 0, 88, 102, 58, 11, u"不明"},
     }},
};

// Each text ends in a blank, as the system's own messages do.
const std::map<int, std::u16string> kStrings = {
    {IDS_ONLY_NON_ANSWERS, u"サーバーのアドレスから届いたデータが送ったリクエストへの応答ではなかった (発信時刻が一致しない) ため無視し、時間内に正しい応答がありませんでした。時刻は変更していません。 "},
    {10004, u"ブロッキング操作が WSACancelBlockingCall の呼び出しによって中断されました。 "},
    {10009, u"指定されたファイル ハンドルが無効です。 "},
    {10013, u"アクセス許可のない方法でソケットにアクセスしようとしました。 "},
    {10014, u"ポインター引数が指すアドレスが無効です。 "},
    {10022, u"引数が無効です。 "},
    {10024, u"開いているソケットが多すぎます。 "},
    {10035, u"ノンブロッキング ソケットの操作をすぐには完了できません。 "},
    {10036, u"ブロッキング操作の実行中に別の操作を行おうとしました。 "},
    {10037, u"すでに処理中の操作をノンブロッキング ソケットでもう一度行おうとしました。 "},
    {10038, u"ソケットでないものに対してソケット操作を行おうとしました。 "},
    {10039, u"ソケット操作に必要な宛先アドレスが指定されていません。 "},
    {10040, u"データグラムが受信バッファーより大きかったため、メッセージの一部が失われました。 "},
    {10041, u"ソケットの種類がサポートしていないプロトコルが指定されました。 "},
    {10042, u"不明、無効、またはサポートされていないオプションまたはレベルが指定されました。 "},
    {10043, u"要求されたプロトコルはこのシステムに構成されていないか、実装されていません。 "},
    {10044, u"このアドレス ファミリでは、この種類のソケットはサポートされていません。 "},
    {10045, u"この種類のオブジェクトでは、要求された操作はサポートされていません。 "},
    {10046, u"プロトコル ファミリがこのシステムに構成されていないか、実装されていません。 "},
    {10047, u"要求されたプロトコルでは、このアドレス ファミリを使用できません。 "},
    {10048, u"このアドレスはすでに使用されています。ソケット アドレスは通常、一度に 1 つしか使用できません。 "},
    {10049, u"要求されたアドレスは、このコンピューターでは使用できません。 "},
    {10050, u"ネットワークがダウンしているため、ソケット操作を実行できません。 "},
    {10051, u"到達できないネットワークに対してソケット操作を行おうとしました。 "},
    {10052, u"操作中に障害が検出されたため、接続が切断されました。 "},
    {10053, u"このコンピューターのソフトウェアによって、確立された接続が中止されました。 "},
    {10054, u"リモート ホストによって、既存の接続が強制的に切断されました。 "},
    {10055, u"バッファー領域が足りないか、キューがいっぱいのため、ソケット操作を実行できませんでした。 "},
    {10056, u"すでに接続されているソケットに対して接続要求が行われました。 "},
    {10057, u"ソケットが接続されていないため、データを送受信できません。 "},
    {10058, u"ソケットはすでにシャットダウンされているため、データを送受信できません。 "},
    {10059, u"カーネル オブジェクトへの参照が多すぎます。 "},
    {10060, u"接続済みの呼び出し先が一定の時間を過ぎても正しく応答しなかったため、接続できませんでした。"
            u"または接続済みのホストが応答しなかったため、確立された接続は失敗しました。 "},
    {10061, u"対象のコンピュータによって拒否されたため、接続できませんでした。 "},
    {10062, u"名前を変換できませんでした (参照がループしています)。 "},
    {10063, u"名前、または名前の一部が長すぎます。 "},
    {10064, u"宛先のホストがダウンしているため、ソケット操作に失敗しました。 "},
    {10065, u"到達できないホストに対してソケット操作を実行しようとしました。 "},
    {10066, u"空でないディレクトリを削除しようとしました。 "},
    {10067, u"Windows Sockets を同時に使えるプロセスの数が上限に達しました。 "},
    {10068, u"ユーザーのクォータを超えました。 "},
    {10069, u"ディスクのクォータを超えました。 "},
    {10070, u"ファイル ハンドルの参照先がもう存在しません。 "},
    {10071, u"その項目はローカルでは使用できません。 "},
    {10091, u"ネットワーク サブシステムの準備ができていないため、ネットワーク通信を開始できません。 "},
    {10092, u"要求された Windows Sockets のバージョンはサポートされていません。 "},
    {10093, u"Windows Sockets が初期化されていないか、すでに終了処理が行われています。 "},
    {10101, u"相手側が正常な終了処理を始めました。 "},
    {10102, u"返すデータはもうありません。 "},
    {10103, u"処理中の呼び出しが取り消されました。 "},
    {10104, u"サービス プロバイダーの関数テーブルが無効です。 "},
    {10105, u"サービス プロバイダーが無効です。 "},
    {10106, u"サービス プロバイダーを読み込めなかったか、初期化できませんでした。 "},
    {10107, u"失敗するはずのないシステム呼び出しが失敗しました。 "},
    {10108, u"そのようなサービスは見つかりません。 "},
    {10109, u"指定されたクラスが見つかりません。 "},
    {10110, u"検索の結果はもうありません。 "},
    {10111, u"処理中の検索の呼び出しが取り消されました。 "},
    {10112, u"データベースへの問い合わせが拒否されました。 "},
    {11001, u"そのようなホストは不明です。 "},
    {11002, u"権限のあるサーバーから応答がなく、ホスト名を解決できませんでした。"
            u"しばらくしてからもう一度試してください。 "},
    {11003, u"データベースの検索中に回復できないエラーが起きました。 "},
    {11004, u"要求した名前は有効で、データベースにありますが、解決された正しい関連データがありません。 "},
    {11005, u"少なくとも 1 つの予約メッセージが届きました。 "},
    {11006, u"少なくとも 1 つのパス メッセージが届きました。 "},
    {11007, u"送信者がいません。 "},
    {11008, u"受信者がいません。 "},
    {11009, u"予約が確認されました。 "},
    {11010, u"リソースが足りないため、要求を受け付けられませんでした。 "},
    {11011, u"管理上の方針により、予約が拒否されました。 "},
    {11012, u"フィルターのスタイルが不明か、互いに矛盾しています。 "},
    {11013, u"フィルター仕様またはプロバイダー固有のバッファーの内容に問題があります。 "},
    {11014, u"フロー仕様の一部に問題があります。 "},
    {11015, u"QoS の一般的なエラーです。 "},
    {11016, u"フロー仕様に無効な、または不明なサービスの種類が指定されました。 "},
    {11017, u"QoS 構造体に無効な、または矛盾したフロー仕様があります。 "},
    {11018, u"QoS プロバイダー固有のバッファーが無効です。 "},
    {11019, u"QoS フィルターのスタイルが無効です。 "},
    {11020, u"QoS フィルターの種類が無効です。 "},
    {11021, u"QoS フィルター仕様の数が正しくありません。 "},
    {11022, u"QoS プロバイダー固有のバッファーにあるオブジェクトの長さが無効です。 "},
    {11023, u"QoS 構造体にあるフロー記述子の数が正しくありません。 "},
    {11024, u"QoS プロバイダー固有のバッファーに認識できないオブジェクトがあります。 "},
    {11025, u"QoS プロバイダー固有のバッファーにあるポリシー オブジェクトが無効です。 "},
    {11026, u"フロー記述子の一覧に無効な QoS フロー記述子があります。 "},
    {11027, u"QoS プロバイダー固有のバッファーにあるフロー仕様が無効か、矛盾しています。 "},
    {11028, u"QoS プロバイダー固有のバッファーにあるフィルター仕様が無効です。 "},
    {11029, u"QoS プロバイダー固有のバッファーにある破棄モード オブジェクトが無効です。 "},
    {11030, u"QoS プロバイダー固有のバッファーにあるシェーピング レート オブジェクトが無効です。 "},
    {11031, u"QoS プロバイダー固有のバッファーに予約済みのポリシー要素の種類があります。 "},
};

class Resources : public ModuleTest {
 public:
  // The bytes of a Japanese resource, or null when the module has none.
  static const uint8_t* resource(LPCWSTR type, int id) {
    HRSRC found = FindResourceExW(module_, type, MAKEINTRESOURCEW(id), kJapanese);
    if (found == nullptr) return nullptr;
    return static_cast<const uint8_t*>(LockResource(LoadResource(module_, found)));
  }
};

TEST_F(Resources, TheThreePagesAreAsDesigned) {
  for (const Dialog& want : kDialogs) {
    SCOPED_TRACE("dialog " + std::to_string(want.id));
    const uint8_t* bytes = resource(MAKEINTRESOURCEW(5) /* RT_DIALOG */, want.id);
    ASSERT_NE(bytes, nullptr);
    const Dialog got = read_dialog(bytes);
    EXPECT_EQ(describe(got), describe(want));
    ASSERT_EQ(got.controls.size(), want.controls.size());
    for (size_t i = 0; i < want.controls.size(); ++i) {
      EXPECT_EQ(describe(got.controls[i]), describe(want.controls[i])) << "control " << i;
    }
  }
}

BOOL CALLBACK add_block(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR blocks) {
  if (IS_INTRESOURCE(name)) reinterpret_cast<std::vector<int>*>(blocks)->push_back(LOWORD(name));
  return TRUE;
}

TEST_F(Resources, TheStringTableHoldsExactlyTheErrorTexts) {
  // A string table is made of blocks of 16 entries: entry k of block b is
  // string 16 (b - 1) + k, a length in UTF-16 units and as many units.
  std::vector<int> blocks;
  EnumResourceNamesW(module_, MAKEINTRESOURCEW(6) /* RT_STRING */, add_block, reinterpret_cast<LONG_PTR>(&blocks));
  std::map<int, std::u16string> strings;
  for (int block : blocks) {
    const uint8_t* p = resource(MAKEINTRESOURCEW(6), block);
    ASSERT_NE(p, nullptr) << "block " << block << " is not Japanese";
    for (int k = 0; k < 16; ++k) {
      WORD length;
      std::memcpy(&length, p, sizeof length);
      p += sizeof length;
      std::u16string text(length, u'\0');
      std::memcpy(text.data(), p, length * sizeof(char16_t));
      p += length * sizeof(char16_t);
      if (length > 0) strings[(block - 1) * 16 + k] = text;
    }
  }
  EXPECT_EQ(strings.size(), 90u);
  for (const auto& [id, text] : kStrings) {
    const auto found = strings.find(id);
    if (found == strings.end()) {
      ADD_FAILURE() << "string " << id << " is missing";
    } else {
      EXPECT_EQ(utf8(found->second), utf8(text)) << "string " << id;
    }
  }
  for (const auto& [id, text] : strings) EXPECT_EQ(kStrings.count(id), 1u) << "string " << id << ": " << utf8(text);
}

}  // namespace
