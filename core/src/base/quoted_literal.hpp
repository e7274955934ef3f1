#pragma once

#include <string>
#include <string_view>

namespace tvdb {

// Renders a text for a message as a quoted, escaped string literal: "l1" for l1, with
// quotes, backslashes and control characters escaped, so odd names stay readable.
std::string quoted_literal(std::string_view text);

}  // namespace tvdb
