// Readers for the short ";"-separated texts the plug-in keeps in its items.
#pragma once

#include <cstddef>
#include <cstdint>

// A field holds at most this many characters and a terminating zero; longer
// fields are cut.
constexpr size_t kFieldSize = 512;

// Reads a decimal number the way the Windows C runtime's atoi does: optional
// leading white space (space, tab, LF, VT, FF, CR), an optional sign, then
// digits up to the first other character; no digits reads as 0. A number
// too large for 32 bits wraps modulo 2^32 as that runtime's loop does, but
// the arithmetic is unsigned, so there is no undefined behaviour. If `end`
// is given it receives the position after the last character read.
int32_t read_atoi(const char* text, const char** end = nullptr);

// The same reader confined to [text, bound): the number ends at `bound` as
// it would at a zero byte, and nothing at or after `bound` is read.
int32_t read_atoi(const char* text, const char* bound);

// True for the white-space characters read_atoi skips.
bool is_space_char(char c);

// Skips the white space and the optional sign a number may start with, not
// reading at or after `bound` when one is given; returns where its digits
// should begin and whether it is negative.
const char* skip_space_and_sign(const char* text, bool* negative, const char* bound = nullptr);

// Reads the integer at the start of `text` as scanf's "%d" does: optional
// white space and sign, then at least one digit. Unlike read_atoi, a number
// beyond 32 bits saturates, and a text that does not start with an integer
// gives false.
bool read_scanf_int(const char* text, int32_t* value);

// True for the first byte of a double-byte character of code page 932.
bool is_cp932_lead_byte(unsigned char c);

// Length of the longest prefix of `text`, at most `max_len` bytes, that does
// not end in the middle of a double-byte character of code page 932.
size_t cp932_cut_length(const char* text, size_t max_len);

// Copies field `index` (from 0) of a ";"-separated text into `out`: skip
// `index` ";" characters; if the text ends there (or has fewer) the field is
// missing and false is returned with `out` empty. Otherwise the field runs to
// the next ";" or the end of the text, cut to fit `out_size`.
bool read_field(const char* text, int index, char* out, size_t out_size);

// Field `index` read as read_atoi reads it; a missing or empty field reads as 0.
int32_t read_atoi_field(const char* text, int index);
