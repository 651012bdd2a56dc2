// Reading a program's version resource, the block that FindResource/LoadResource give for RT_VERSION.
// Portable C++ (no Windows API): the block is plain bytes, little-endian, its text UTF-16 (char16_t).
//
// The block is a tree of nodes. Each node, starting on a 4-byte boundary of the block:
//   WORD wLength        bytes of the node with its children, without the padding after it
//   WORD wValueLength   the value's length: bytes when wType is 0, UTF-16 units when wType is 1
//   WORD wType          0 binary, 1 text
//   WCHAR key[]         zero-terminated, then zero padding to a 4-byte boundary
//   value               then zero padding to a 4-byte boundary
//   children            each a node, until wLength ends
// The root's key is "VS_VERSION_INFO" and its value the 52-byte VS_FIXEDFILEINFO (signature
// 0xFEEF04BD); one child "StringFileInfo" holds string tables (key e.g. "040904b0") of named texts
// ("CompanyName" = "Orvanta").
//
// Broken input: the whole tree is checked before anything is taken from it. A node that does not fit in
// its parent or the block, a key without its terminator, a value past its node, a wType other than 0 or
// 1, bytes after the last child that make no node, or a node more than 16 levels below the root make
// the block broken, and every call on a broken block answers false. No byte at or past `size` is ever read,
// and `block` may lie at any address.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the product version of the root's fixed information (dwProductVersionMS's high and low word,
// then dwProductVersionLS's) as "a.b.c.d" in decimal, terminated, to `out`. False when the block is
// broken, has no fixed information (a root value shorter than 52 bytes, a wrong signature, a root key
// other than "VS_VERSION_INFO"), or the text and its terminator do not fit in `capacity` units; `out`
// then holds "" when capacity is not 0.
bool productVersionText(const std::uint8_t* block, std::size_t size, char16_t* out, std::size_t capacity);

// Writes the text named `key` (terminated, compared exactly) in the first string table of the root's
// first "StringFileInfo" to `out`, terminated. The text is the node's first wValueLength units, up to a
// terminator if they hold one. False when the block is broken, there is no such table or key, the node
// is not text (wType 1), or the text and its terminator do not fit in `capacity` units; `out` then holds
// "" when capacity is not 0.
bool versionString(const std::uint8_t* block, std::size_t size, const char16_t* key, char16_t* out,
                   std::size_t capacity);
