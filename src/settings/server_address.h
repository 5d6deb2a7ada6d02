// The item's address: "sntp://" followed by the server's host name or
// dotted address, possibly with a path the plug-in ignores.
#pragma once

#include <cstddef>

constexpr char kAddressScheme[] = "sntp://";

// Writes the bare server of `address` into `out`: the scheme is skipped when
// the address starts with it (in any case), the rest is cut at the first "/"
// and to the buffer (never inside a double-byte character), and blanks
// around the server are removed as trim_blanks does. A null address gives
// the empty text. A ":port" suffix is not split off.
void server_name_from_address(const char* address, char* out, size_t out_size);

// Removes the blanks around a server name typed or pasted by the user, in
// place: spaces, tabs and the ideographic space of code page 932 (81 40),
// read character by character so that no trail byte is taken for a blank.
void trim_blanks(char* text);
