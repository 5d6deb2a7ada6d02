# The facts every script of this project shares, stated once. Each script
# sources it first:
#
#   . "$(dirname "${BASH_SOURCE[0]}")/lib.sh"             (scripts/)
#   . "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"  (cmake/, tests/scripts/)
#
# Sourcing only sets variables and defines functions: it starts no program
# (but one `cd` to find the tree), prints nothing and changes no locale.
# Names start with sntp_ so that they stand apart from a script's own.

sntp_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The project's version, as the top CMakeLists.txt declares it.
sntp_version() {
  sed -n 's/^project(sntp VERSION \([0-9.]*\).*/\1/p' "$sntp_root/CMakeLists.txt"
}

# --- The loopback chronyd ---------------------------------------------------
# Ports on 127.0.0.1 of the chronyd the tests and the demo start, and of the
# one the benchmark starts. The top CMakeLists.txt reads the first line as
# the default of its cache variable SNTP_CHRONY_PORT (so keep its form);
# SNTP_CHRONY_PORT and SNTP_BENCH_CHRONY_PORT in the environment override
# them for the scripts.
sntp_chrony_port_default=11123
sntp_bench_chrony_port_default=11124
sntp_chrony_port=${SNTP_CHRONY_PORT:-$sntp_chrony_port_default}
sntp_bench_chrony_port=${SNTP_BENCH_CHRONY_PORT:-$sntp_bench_chrony_port_default}

# --- The Windows architecture -----------------------------------------------
# Wine's loaders: /usr/bin/wine is a script that starts the 32-bit one first,
# so 64-bit programs are run with wine64 directly.
sntp_wine32_loader=/usr/lib/wine/wine
sntp_wine64_loader=/usr/lib/wine/wine64
# scripts/without-wine32 notes here every start of the 32-bit loader it
# fenced off.
sntp_wine32_starts_log=$sntp_root/build/wine32-starts.log
# The tiny static i386 program scripts/windows-arch makes and runs to learn
# whether the kernel runs 32-bit programs.
sntp_i386_probe=$sntp_root/build/windows-arch/probe-i386
# The user-mode emulator that runs i386 programs where the kernel refuses them.
sntp_qemu_i386=/usr/bin/qemu-i386-static

# Prints the binfmt_misc registration, under the entry name $1, that hands
# static i386 ELF programs (and shared objects) to qemu-i386 by their magic
# and mask. The kernel reads the \x escapes itself.
sntp_qemu_i386_binfmt() {
  printf ':%s:M::%s:%s:%s:F' "$1" \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00' \
    '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff' \
    "$sntp_qemu_i386"
}

# Sets what follows from a Windows architecture, i686 or x64 (status 2 for
# anything else): the CMake presets of the Windows build and of the release
# build, the C++ compiler they use, the Wine that runs their programs, and
# the tests' Wine prefix.
sntp_arch_facts() {
  case $1 in
    i686)
      sntp_preset=mingw sntp_release_preset=release
      sntp_compiler=i686-w64-mingw32-g++-posix
      sntp_wine=wine sntp_wineprefix=$sntp_root/build/wineprefix
      ;;
    x64)
      sntp_preset=mingw-x64 sntp_release_preset=release-x64
      sntp_compiler=x86_64-w64-mingw32-g++-posix
      sntp_wine=$sntp_wine64_loader sntp_wineprefix=$sntp_root/build/wineprefix64
      ;;
    *) return 2 ;;
  esac
}

# Decides the architecture the Windows side runs on (scripts/windows-arch
# says which and why, once, on stderr), exports the decision for the
# programs this script starts, and sets its facts (sntp_arch_facts).
sntp_decide_arch() {
  local decision
  decision=$("$sntp_root/scripts/windows-arch") || return
  eval "$decision"
  sntp_arch_facts "$SNTP_WINDOWS_ARCH"
}

# The real 32-bit files run under emulation in a Wine prefix of their own,
# so that the tests' prefix is never touched by the slow emulated Wine.
sntp_emulated_wineprefix=$sntp_root/build/wineprefix-emu
# A prefix that scripts/wineprefix has finished setting up holds this file.
sntp_wineprefix_stamp=.sntp-prefix-v1

# Exports the environment every Wine start of the project runs in: the
# prefix $1, no debug output unless WINEDEBUG asks for it, and no prompt to
# install Wine's .NET and browser engines.
sntp_wine_env() {
  export WINEPREFIX=$1 WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
}

# --- Locales ----------------------------------------------------------------
# Wine takes its ANSI code page from the locale: the Japanese one gives 932,
# as on the Windows the host runs on. Where the system has no such locale,
# scripts/setup compiles it into sntp_locale_dir.
sntp_wine_lang=ja_JP.UTF-8
sntp_locale_dir=$sntp_root/build/locale

# True when the C library can load the locale $1 (default: the Japanese
# one), from the system or from sntp_locale_dir.
sntp_has_locale() {
  local lang=${1:-$sntp_wine_lang}
  [ -f "$sntp_locale_dir/$lang/LC_CTYPE" ] ||
    locale -a 2>/dev/null | grep -qixF -e "$lang" -e "${lang/UTF-8/utf8}"
}

# Sets the array sntp_locale_env to a command prefix that runs a program in
# the locale $1 (default: the Japanese one). The locale is set for that
# program alone: bash itself would try to switch to it and warn where it is
# not installed system-wide. LC_ALL and LC_CTYPE are removed because either
# would decide the character type before LANG; LOCPATH points the C library
# at sntp_locale_dir where the locale was compiled there.
sntp_locale_for() {
  local lang=${1:-$sntp_wine_lang}
  sntp_locale_env=(env -u LC_ALL -u LC_CTYPE "LANG=$lang")
  [ -f "$sntp_locale_dir/$lang/LC_CTYPE" ] && sntp_locale_env+=("LOCPATH=$sntp_locale_dir")
  return 0
}

# Gives this script a UTF-8 character set where the caller's locale has
# none (a shell without LANG has ASCII): CPack, zip and unzip write the
# archive's Japanese file name only in a UTF-8 locale.
sntp_utf8_charmap() {
  [ "$(locale charmap 2>/dev/null)" = UTF-8 ] || export LC_ALL=C.UTF-8
}

# --- The export list --------------------------------------------------------
# Prints the exports src/plugin/sntp.def lists, one line each: name,
# internal (decorated) name, ordinal.
sntp_def_exports() {
  sed -n 's/^ *\([A-Za-z_][A-Za-z_0-9]*\) *= *\([A-Za-z_][A-Za-z_@0-9]*\) *@\([0-9][0-9]*\) *$/\1 \2 \3/p' \
    "$sntp_root/src/plugin/sntp.def"
}

# Prints the module-definition file of the x86-64 build: the same names at
# the same ordinals, with internal names without the 32-bit stdcall
# decoration (x86-64 has one calling convention and no decoration).
# Status 1, and nothing printed, when the file lists no export.
sntp_def_x64() {
  local exports name internal ordinal
  exports=$(sntp_def_exports)
  [ -n "$exports" ] || return 1
  echo "; Made from src/plugin/sntp.def for x86-64."
  sed -n '/^LIBRARY /p' "$sntp_root/src/plugin/sntp.def"
  echo EXPORTS
  while read -r name internal ordinal; do
    echo "  $name = ${internal%@*} @$ordinal"
  done <<<"$exports"
}
