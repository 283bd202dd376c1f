// Text between the host interface (UTF-8) and Duktape, whose strings hold UTF-16 code units:
// characters beyond the Basic Multilingual Plane live there as surrogate pairs, each unit
// encoded on its own (CESU-8), and a string that begins with certain bytes that UTF-8 never
// uses is a symbol, not a string. Both directions replace what does not decode with U+FFFD, so
// no byte sequence from the library can become a symbol and the library always gets UTF-8.
#pragma once

#include <cstddef>
#include <string>

namespace host {

// UTF-8 (as the library sends it) -> Duktape's encoding.
std::string utf8_to_duk_text(const char* bytes, std::size_t length);
// Duktape's encoding -> UTF-8 (pairs joined, lone surrogates replaced).
std::string duk_text_to_utf8(const char* bytes, std::size_t length);

}  // namespace host
