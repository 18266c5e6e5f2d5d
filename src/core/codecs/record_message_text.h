// How the record decoder renders the values it names in "invalid type" and
// "invalid value" messages.
#pragma once

#include <string>
#include <string_view>

namespace vesker::record_json {

// Shortest round-trip digits, laid out as `1.5`, `1000.0`, `0.0001`, `1e16`, `-1.5e-7`.
void append_float_for_message(std::string& out, double value);

// `"..."` around valid UTF-8, with the controls and the non-printable code points escaped.
void append_quoted_for_message(std::string& out, std::string_view utf8);

}  // namespace vesker::record_json
