#pragma once
// Writing JSON text by hand, for the files whose exact bytes matter (sidecars, settings.json).

#include <string>
#include <string_view>

namespace json_text {

// Appends text as a JSON string: quote, backslash and control characters escaped (\b \f \n \r \t, others as
// lowercase \u00xx), every other character written as UTF-8. A byte that is not UTF-8 is written as U+FFFD,
// so the text always reads back.
void append_string(std::string& out, std::string_view text);

}
