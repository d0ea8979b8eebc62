// UTF-8 validation and repair for texts that leave the service inside a JSON reply. The
// reply serialiser refuses invalid UTF-8, and some texts we pass on (the JSON library's
// parse errors, which quote raw request bytes; exception texts; controller messages) are not
// under our control.
#pragma once

#include <string>
#include <string_view>

namespace brumo {

// True when `text` is well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates,
// nothing above U+10FFFF). NUL and other control characters are valid.
bool IsValidUtf8(std::string_view text);

// `text` with every maximal ill-formed subsequence replaced by U+FFFD (EF BF BD), the way
// the Unicode standard recommends and browsers decode; well-formed parts are kept byte for
// byte. Returns `text` unchanged when it is already valid. May throw std::bad_alloc.
std::string RepairUtf8(std::string_view text);

}  // namespace brumo
