// The host version gate: the comment edit of the General page keeps several
// lines only with a host of version 1.0.3 (build 0) or later; with an older
// host the comment is stored on one line.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin/host_contract.h"

// Packs the host's version text ("major.minor.revision", optionally followed
// by white space and text whose first run of digits is the build number) into
// a HostVersion. Reads at most `size` bytes and stops earlier at a zero byte,
// so a buffer the host filled to the last byte is safe. Each number is read
// like atoi. Without two "." separators the result is 0. The components are
// OR-ed in unmasked, so one above 255 spills into the byte above its own.
HostVersion parse_host_version(const char* text, size_t size);

// 1 when `version` is newer than major.minor.revision build `build`, 0 when
// equal, -1 when older. Major, minor and revision compare first; with those
// equal, a build of 0 (no build number) ranks above every numbered build.
int compare_host_version(HostVersion version, int32_t major, int32_t minor, int32_t revision, int32_t build);

// True when the host is 1.0.3 or later and so keeps multi-line comments.
bool host_keeps_comment_lines(HostVersion version);

// Replaces every CR, LF and tab by a space, in place (null is fine). No trail
// byte of a double-byte character of code page 932 is below 0x40, so Japanese
// text passes unharmed.
void flatten_comment(char* text);
