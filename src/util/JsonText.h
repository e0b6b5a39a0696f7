// A text as a JSON string, for everything the server and its tools write as JSON.
#pragma once

#include <string>
#include <string_view>

namespace kassiro {

// The text quoted and escaped: '"' and '\' escaped, newline, return and tab by their
// short forms, every other control byte and DEL as \u00XX. UTF-8 passes as it is; a
// byte that is not part of a valid UTF-8 sequence is written as \u00XX (the byte read
// as Latin-1), so the result is valid JSON whatever the bytes.
std::string JsonString(std::string_view text);

}  // namespace kassiro
