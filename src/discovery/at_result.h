#pragma once
#include <cstddef>
#include <string_view>

namespace zovir {

// How far an AT reply has come.
enum class ATFinal { None, Ok, Error };

// The final result a single line stands for: "OK", "ERROR", "+CME ERROR: ..." or
// "+CMS ERROR: ...", blanks around it aside.
ATFinal FinalResultOfLine(std::string_view line);

// Looks for the first final result line of `reply`. Lines end at CR or LF. An "OK" or "ERROR"
// inside a value or an echoed command is not one. The last line of the text counts without a
// line end only when `replyComplete` (a reader that takes no more bytes into this text);
// otherwise it may still grow. `pos` receives the offset of that line's text.
ATFinal FindFinalResult(std::string_view reply, size_t& pos, bool replyComplete = false);

}  // namespace zovir
