// The dialog templates and the string table as the built sntp.dll holds them,
// read back with FindResource and LoadResource and compared with
// res/dialogs.rc and res/strings.rc themselves: every control's id, class,
// style, position and text, each page's caption, size and font, and each
// string. The page size and font the host's sheet needs are checked as they
// must be, whatever the script says. A text the resource compiler or the
// Japanese code page does not carry shows here.
#include <winsock2.h>
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "plugin_test.h"
#include "resource.h"
#include "resource_scripts.h"

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

std::u16string utf16(const std::string& text) {
  std::u16string wide(text.size(), u'\0');  // a byte makes at most one unit
  const int n = static_cast<int>(text.size());
  auto* units = reinterpret_cast<wchar_t*>(wide.data());
  wide.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, units, n)));
  return wide;
}

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
      default: return utf16("#" + std::to_string(ordinal));
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
  for (short* v : {&d.x, &d.y, &d.cx, &d.cy}) *v = r.read<short>();
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
    if (d.extended) r.read<DWORD>();  // help id
    c.ex_style = r.read<DWORD>();
    c.style = r.read<DWORD>();
    if (!d.extended) std::swap(c.ex_style, c.style);  // DIALOG has the style first
    for (short* v : {&c.x, &c.y, &c.cx, &c.cy}) *v = r.read<short>();
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

// A resource script (res/*.rc) as statements, each a list of items (its
// keyword, then what follows it) that blanks or commas separate. An item is
// a text (opening quote kept, "" read as ") or words that "|" joins. A
// statement ends with its line unless the line ends in "," or "|".
using Item = std::vector<std::string>;
std::vector<std::vector<Item>> statements_of(const char8_t* script) {
  const std::string source(reinterpret_cast<const char*>(script));
  const std::regex token(R"(//[^\n]*|"(?:[^"]|"")*"|[,|\n]|[^\s,|"]+)");
  std::vector<std::vector<Item>> statements;
  std::string last = "\n";  // the last token that was no comment and no line end
  bool fresh = true;        // the next word starts a statement
  for (std::sregex_iterator it(source.begin(), source.end(), token), end; it != end; ++it) {
    std::string t = it->str();
    if (t.starts_with("//")) continue;
    if (t == "\n") fresh = fresh || (last != "," && last != "|");
    if (t.starts_with('"')) t = "\"" + std::regex_replace(t.substr(1, t.size() - 2), std::regex("\"\""), "\"");
    if (t != "\n" && t != "," && t != "|") {
      if (fresh) statements.emplace_back();
      if (fresh || last != "|") statements.back().emplace_back();
      statements.back().back().push_back(t);
      fresh = false;
    }
    if (t != "\n") last = t;
  }
  return statements;
}

// The names the scripts give numbers: the ids of resource.h and the styles
// of the Windows headers. A name not listed here fails the test.
#define NAMED(name) {#name, static_cast<DWORD>(name)}
const std::map<std::string, DWORD> kNames = {
    NAMED(IDD_GENERAL), NAMED(IDD_OPTIONS), NAMED(IDD_INFO), NAMED(IDC_TITLE), NAMED(IDC_SERVER), NAMED(IDC_PORT),
    NAMED(IDC_COMMENT), NAMED(IDC_ERROR_TEXT), NAMED(IDC_SKIP_SMALL_OFFSETS), NAMED(IDC_THRESHOLD),
    NAMED(IDC_THRESHOLD_SPIN), NAMED(IDC_QUIET_UPDATE), NAMED(IDC_MEASURE_ONLY), NAMED(IDC_INFO_VERSION),
    NAMED(IDC_INFO_STRATUM), NAMED(IDC_INFO_POLL), NAMED(IDC_INFO_PRECISION), NAMED(IDC_INFO_REFERENCE_ID),
    NAMED(IDS_ONLY_NON_ANSWERS), NAMED(IDS_PORT_UNREACHABLE), NAMED(IDS_CONFIRMATION_UNANSWERED), NAMED(IDS_TIME_EXCEEDED), NAMED(IDS_RECHECK_UNANSWERED),
    NAMED(WS_CHILD),
    NAMED(WS_VISIBLE), NAMED(WS_GROUP), NAMED(WS_BORDER),
    NAMED(WS_TABSTOP), NAMED(WS_POPUP), NAMED(WS_CAPTION), NAMED(WS_SYSMENU), NAMED(WS_EX_TRANSPARENT),
    NAMED(DS_SETFONT), NAMED(DS_MODALFRAME), NAMED(SS_CENTERIMAGE), NAMED(ES_AUTOHSCROLL), NAMED(ES_AUTOVSCROLL),
    NAMED(ES_MULTILINE), NAMED(ES_WANTRETURN), NAMED(BS_GROUPBOX), NAMED(BS_AUTOCHECKBOX), NAMED(UDS_SETBUDDYINT),
    NAMED(UDS_ALIGNRIGHT), NAMED(UDS_AUTOBUDDY), NAMED(UDS_ARROWKEYS),
};
#undef NAMED

// An item's words as one number, their bits joined; and its text, "?" when
// it is no text.
DWORD value_of(const Item& item) {
  DWORD value = 0;
  for (const std::string& word : item) {
    const auto named = kNames.find(word);
    char* end = nullptr;
    value |= named != kNames.end() ? named->second : static_cast<DWORD>(std::strtol(word.c_str(), &end, 0));
    if (end != nullptr && *end != '\0') ADD_FAILURE() << "a resource script has a word this test cannot read: " << word;
  }
  return value;
}
std::u16string text_of(const Item& item) {
  return item.size() == 1 && item[0].starts_with('"') ? utf16(item[0].substr(1)) : u"?";
}

// The dialogs as res/dialogs.rc writes them: NAME DIALOG (or DIALOGEX) with
// the position and size, STYLE, CAPTION and FONT, then a CONTROL statement
// per control between BEGIN and END. Any other statement fails the test.
std::vector<Dialog> dialogs_of_the_source() {
  std::vector<Dialog> dialogs;
  for (std::vector<Item> s : statements_of(kDialogsRc)) {
    s.resize(10);  // items a statement leaves out read as nothing
    const std::string keyword = s[0][0], kind = s[1].empty() ? "" : s[1][0];
    if (kind == "DIALOG" || kind == "DIALOGEX") {
      Dialog& d = dialogs.emplace_back();
      d.id = static_cast<int>(value_of(s[0]));
      d.extended = kind == "DIALOGEX";
      d.x = value_of(s[2]), d.y = value_of(s[3]), d.cx = value_of(s[4]), d.cy = value_of(s[5]);
    } else if (keyword == "BEGIN" || keyword == "END") {
    } else if (dialogs.empty()) {
      ADD_FAILURE() << "res/dialogs.rc has " << keyword << " before its first dialog";
    } else if (Dialog& d = dialogs.back(); keyword == "STYLE") {
      d.style = value_of(s[1]);
    } else if (keyword == "CAPTION") {
      d.caption = text_of(s[1]);
    } else if (keyword == "FONT") {
      d.point_size = value_of(s[1]), d.font = text_of(s[2]), d.weight = value_of(s[3]);
      d.italic = value_of(s[4]), d.charset = value_of(s[5]);
    } else if (keyword == "CONTROL") {
      Control& c = d.controls.emplace_back();
      c.text = text_of(s[1]), c.id = static_cast<int>(value_of(s[2])), c.class_name = text_of(s[3]);
      c.style = value_of(s[4]), c.x = value_of(s[5]), c.y = value_of(s[6]), c.cx = value_of(s[7]);
      c.cy = value_of(s[8]), c.ex_style = value_of(s[9]);
    } else {
      ADD_FAILURE() << "res/dialogs.rc has a statement this test cannot read: " << keyword;
    }
  }
  return dialogs;
}

// The string table as res/strings.rc writes it: `id "text"` statements
// between BEGIN and END, each id a number or a name of resource.h. A
// statement of another form fails the test rather than being passed over.
std::map<int, std::u16string> strings_of_the_source() {
  std::map<int, std::u16string> strings;
  bool inside = false;
  for (const std::vector<Item>& s : statements_of(kStringsRc)) {
    const std::string keyword = s[0][0];
    if (s.size() == 1 && (keyword == "STRINGTABLE" || keyword == "BEGIN" || keyword == "END")) {
      inside = keyword == "BEGIN";
    } else if (!inside || s.size() != 2 || !s[1][0].starts_with('"')) {
      ADD_FAILURE() << "res/strings.rc has a statement this test cannot read: " << keyword;
    } else {
      const int number = static_cast<int>(value_of(s[0]));
      EXPECT_EQ(strings.count(number), 0u) << "string " << number << " twice in res/strings.rc";
      strings[number] = text_of(s[1]);
    }
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

TEST_F(Resources, TheThreePagesAreAsTheirScriptWritesThem) {
  const std::vector<Dialog> source = dialogs_of_the_source();
  std::vector<int> ids;
  for (const Dialog& want : source) ids.push_back(want.id);
  EXPECT_EQ(ids, (std::vector<int>{IDD_GENERAL, IDD_OPTIONS, IDD_INFO})) << "res/dialogs.rc read only in part";
  for (const Dialog& want : source) {
    SCOPED_TRACE("dialog " + std::to_string(want.id));
    const uint8_t* bytes = resource(MAKEINTRESOURCEW(5) /* RT_DIALOG */, want.id);
    ASSERT_NE(bytes, nullptr);
    const Dialog got = read_dialog(bytes);
    // Whatever the script says: the size the host's sheet is laid out for, in the Japanese UI font.
    EXPECT_EQ(std::to_string(got.cx) + " x " + std::to_string(got.cy) + ", " + std::to_string(got.point_size) +
                  " pt " + utf8(got.font), "223 x 225, 9 pt " + utf8(kFont));
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
    EXPECT_EQ(strings.count(id) != 0 ? utf8(strings.at(id)) : "(missing)", utf8(text)) << "string " << id;
  }
  for (const auto& [id, text] : strings) {
    EXPECT_EQ(source.count(id), 1u) << "string " << id << ": " << utf8(text);
    // Each text ends in a blank, as the system's own messages do; each id
    // is a Windows Sockets code or one of the module's own (resource.h).
    EXPECT_TRUE(text.ends_with(u' ')) << "string " << id;
    EXPECT_TRUE((id >= 10000 && id <= 11999) || (id >= IDS_ONLY_NON_ANSWERS && id <= IDS_RECHECK_UNANSWERED))
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
