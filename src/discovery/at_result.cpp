#include "discovery/at_result.h"

#include "common/text.h"

namespace zovir {

ATFinal FinalResultOfLine(std::string_view line) {
  line = TrimBlanks(line);
  if (line == "OK") return ATFinal::Ok;
  if (line == "ERROR" || line.starts_with("+CME ERROR") || line.starts_with("+CMS ERROR")) return ATFinal::Error;
  return ATFinal::None;
}

ATFinal FindFinalResult(std::string_view reply, size_t& pos, bool replyComplete) {
  size_t begin = 0;
  while (begin < reply.size()) {
    size_t end = reply.find_first_of("\r\n", begin);
    if (end == std::string_view::npos) {
      if (!replyComplete) break;  // an unfinished line may still grow
      end = reply.size();
    }
    const std::string_view line = reply.substr(begin, end - begin);
    const ATFinal f = FinalResultOfLine(line);
    if (f != ATFinal::None) {
      size_t lead = 0;
      while (lead < line.size() && IsBlank(line[lead])) ++lead;
      pos = begin + lead;
      return f;
    }
    begin = end + 1;
  }
  return ATFinal::None;
}

}  // namespace zovir
