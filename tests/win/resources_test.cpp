// The dialog templates and the string table as the built sntp.dll holds them,
// read back with FindResource and LoadResource and compared with what they
// must be: every control's id, class, style, position and text, each page's
// caption, size and font; and the string table, against res/strings.rc
// itself. A slip in res/dialogs.rc, or a text the resource compiler or the
// Japanese code page does not carry, shows here.
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
#include "strings_rc.h"

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

// The string table as res/strings.rc writes it: `id "text"` lines between
// BEGIN and END, each id a number or a name of resource.h. A line of
// another form, or a name not listed here, fails the test rather than being
// passed over.
std::map<int, std::u16string> strings_of_the_source() {
  const std::map<std::string, int> names = {{"IDS_ONLY_NON_ANSWERS", IDS_ONLY_NON_ANSWERS},
                                            {"IDS_PORT_UNREACHABLE", IDS_PORT_UNREACHABLE},
                                            {"IDS_CONFIRMATION_UNANSWERED", IDS_CONFIRMATION_UNANSWERED}};
  std::map<int, std::u16string> strings;
  const std::string source(reinterpret_cast<const char*>(kStringsRc));
  bool inside = false;
  size_t line_start = 0;
  while (line_start < source.size()) {
    size_t line_end = source.find('\n', line_start);
    if (line_end == std::string::npos) line_end = source.size();
    std::string line = source.substr(line_start, line_end - line_start);
    line_start = line_end + 1;
    line.erase(0, line.find_first_not_of(" \t"));
    if (line.empty() || line.starts_with("//") || line.starts_with("STRINGTABLE")) continue;
    if (line == "BEGIN" || line == "END") {
      inside = line == "BEGIN";
      continue;
    }
    const size_t open = line.find(" \"");
    if (!inside || open == std::string::npos || !line.ends_with("\"")) {
      ADD_FAILURE() << "res/strings.rc has a line this test cannot read: " << line;
      continue;
    }
    const std::string id = line.substr(0, open);
    std::string text = line.substr(open + 2, line.size() - open - 3);
    for (size_t q = text.find("\"\""); q != std::string::npos; q = text.find("\"\"", q + 1)) text.erase(q, 1);
    int number = 0;
    if (std::isdigit(static_cast<unsigned char>(id[0]))) {
      number = std::stoi(id);
    } else if (names.count(id) != 0) {
      number = names.at(id);
    } else {
      ADD_FAILURE() << "res/strings.rc names " << id << ", which this test does not know";
      continue;
    }
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::u16string wide(static_cast<size_t>(n), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), reinterpret_cast<wchar_t*>(wide.data()),
                        n);
    EXPECT_EQ(strings.count(number), 0u) << "string " << number << " twice in res/strings.rc";
    strings[number] = wide;
  }
  return strings;
}


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
  const std::map<int, std::u16string> source = strings_of_the_source();
  EXPECT_GE(source.size(), 90u) << "res/strings.rc read only in part";
  EXPECT_EQ(strings.size(), source.size());
  for (const auto& [id, text] : source) {
    const auto found = strings.find(id);
    if (found == strings.end()) {
      ADD_FAILURE() << "string " << id << " is missing";
    } else {
      EXPECT_EQ(utf8(found->second), utf8(text)) << "string " << id;
    }
  }
  for (const auto& [id, text] : strings) {
    EXPECT_EQ(source.count(id), 1u) << "string " << id << ": " << utf8(text);
    // Each text ends in a blank, as the system's own messages do; each id
    // is a Windows Sockets code or one of the module's own (resource.h).
    EXPECT_TRUE(text.ends_with(u' ')) << "string " << id;
    EXPECT_TRUE((id >= 10000 && id <= 11999) || (id >= IDS_ONLY_NON_ANSWERS && id <= IDS_CONFIRMATION_UNANSWERED))
        << "string " << id;
    // The plug-in reads its texts with LoadStringA in code page 932: each
    // must have a character there, or the host would show "?".
    BOOL lost = FALSE;
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(text.data()),
                        static_cast<int>(text.size()), nullptr, 0, nullptr, &lost);
    EXPECT_FALSE(lost) << "string " << id << " has a character code page 932 lacks";
  }
}

}  // namespace
