#include "text/utf8.hpp"

namespace tallyfit {

bool is_valid_utf8(std::string_view bytes) {
    const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = byte_at(i);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        // The allowed range of the second byte narrows for the leads that could otherwise
        // encode an overlong form, a surrogate or a code point above U+10FFFF.
        unsigned char second_min = 0x80;
        unsigned char second_max = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            length = 2;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            length = 3;
            second_min = lead == 0xe0 ? 0xa0 : 0x80;
            second_max = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            length = 4;
            second_min = lead == 0xf0 ? 0x90 : 0x80;
            second_max = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (bytes.size() - i < length) {
            return false;
        }
        if (byte_at(i + 1) < second_min || byte_at(i + 1) > second_max) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((byte_at(i + k) & 0xc0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

void append_utf8(std::string &out, unsigned code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xc0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    } else if (code_point < 0x10000) {
        out += static_cast<char>(0xe0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code_point >> 18));
        out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code_point & 0x3f));
    }
}

} // namespace tallyfit
