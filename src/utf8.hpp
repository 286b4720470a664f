// Reading and writing one UTF-8 character: the strict decoding that the locale's
// character forms and the JSON escaper share, all inline.
#pragma once

#include <cstddef>
#include <cstdint>

// The character at p, of at most n bytes: its length (1 to 4) with its code
// point in *code, or 0 where the bytes are no character: a stray or missing
// continuation byte, an overlong form, a surrogate, or past U+10FFFF. A
// caller takes such a byte as one byte alone.
inline size_t utf8_decode(const unsigned char *p, size_t n, uint32_t *code) {
    if (n == 0)
        return 0;
    unsigned char lead = p[0];
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    size_t length;
    uint32_t value, least;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, value = lead & 0x1fu, least = 0x80;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, value = lead & 0x0fu, least = 0x800;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, value = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (n < length)
        return 0;
    for (size_t i = 1; i < length; i++) {
        if ((p[i] & 0xc0u) != 0x80)
            return 0;
        value = value << 6 | (p[i] & 0x3fu);
    }
    if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
        return 0;
    *code = value;
    return length;
}

// Writes code (at most U+10FFFF, no surrogate) as UTF-8 into to, which has
// room for 4 bytes; returns how many it wrote.
inline size_t utf8_encode(uint32_t code, char *to) {
    if (code < 0x80) {
        to[0] = static_cast<char>(code);
        return 1;
    }
    size_t length = code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    static const unsigned char lead[] = {0, 0, 0xc0, 0xe0, 0xf0};
    for (size_t i = length - 1; i > 0; i--) {
        to[i] = static_cast<char>(0x80 | (code & 0x3fu));
        code >>= 6;
    }
    to[0] = static_cast<char>(lead[length] | code);
    return length;
}
