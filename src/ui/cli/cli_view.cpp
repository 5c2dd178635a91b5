#include "ui/cli/cli_view.h"

#include <nlohmann/json.hpp>

#include <cctype>
#include <cstdio>
#include <iostream>

#include "engine/engine_types.h"
#include "platform/console.h"

namespace zovir::cli {
namespace {

bool Positive(Answer a) { return a == Answer::Yes || a == Answer::Ok; }

const char* AnswerText(Answer a) {
  switch (a) {
    case Answer::Ok: return "OK";
    case Answer::Cancel: return "Cancel";
    case Answer::Yes: return "Yes";
    case Answer::No: return "No";
  }
  return "No";
}

// One line from the terminal; false on end of input or an interrupted read (Ctrl-C).
bool ReadAnswerLine(std::string& line) {
  line.clear();
  char c = 0;
  for (;;) {
    if (ReadInputByte(c) != 1) return false;
    if (c == '\n') return true;
    line.push_back(c);
  }
}

}  // namespace

void CliView::SetStatusLabel(const std::string& text, LabelStyle) {
  // The label repeats what status lines already said while a run goes on; only the waiting
  // states tell something new.
  if (text == label_) return;
  label_ = text;
  // "Not Ready" is where every start begins: worth a line only with -v.
  if (text == "Ready" || text == "準備完了")
    out_.Note(slot_, text);
  else if (text == "Not Ready" || text == "準備中")
    out_.Detail(slot_, text);
}

void CliView::SetJapaneseStatusLabel(const std::string& text, LabelColor, bool visible) {
  if (visible) label_ = text;
}

void CliView::SetVersionLabel(const std::string& text) {
  const auto colon = text.find(':');
  if (colon != std::string::npos && colon + 1 < text.size()) out_.Detail(slot_, text);
}

void CliView::StatusLine(const std::string& text, int kind) {
  if (kind == mtError)
    out_.Error(slot_, text);
  else
    out_.StatusLine(slot_, text, static_cast<MESSAGE_TYPE>(kind));
}

void CliView::Progress(int, int position, int maximum) {
  out_.Progress(slot_, maximum > 0 && maximum != 100 ? position * 100 / maximum : position);
}

void CliView::Message(const std::string& text, const std::string& caption, MessageKind) {
  ++messages_;
  out_.Message(caption, text);
}

Answer CliView::Ask(const std::string& text, const std::string& caption, Question question) {
  std::unique_lock<std::mutex> serial;
  if (askLock_) serial = std::unique_lock<std::mutex>(*askLock_);
  const Answer yes = question == Question::OkCancel ? Answer::Ok : Answer::Yes;
  const Answer no = question == Question::OkCancel ? Answer::Cancel : Answer::No;
  Answer answer = no;
  std::string how;
  switch (policy_) {
    case AnswerPolicy::Yes:
      answer = yes;
      how = "--yes";
      break;
    case AnswerPolicy::No:
      answer = no;
      how = "--no";
      break;
    case AnswerPolicy::Safe:
      answer = no;
      how = "no --yes given, the safe choice";
      break;
    case AnswerPolicy::Prompt: {
      out_.ClearProgressLine();
      std::fprintf(stdout, "%s%s\n%s? [y/N] ", caption.empty() ? "" : ("[" + caption + "] ").c_str(), text.c_str(),
                   AnswerText(yes));
      std::fflush(stdout);
      std::string line;
      const bool got = ReadAnswerLine(line);
      if (!got) std::fprintf(stdout, "\n");
      const char first = line.empty() ? 'n' : static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
      answer = got && (first == 'y' || first == 'o') ? yes : no;
      how = "answered on the terminal";
      break;
    }
  }
  if (!Positive(answer)) declined_ = true;
  if (out_.style() == CliOutput::Style::Json) {
    out_.Event(slot_, "question", {{"caption", caption}, {"text", text}, {"answer", AnswerText(answer)}, {"by", how}});
  } else if (policy_ != AnswerPolicy::Prompt) {
    out_.Message(caption, text);
    out_.Note(slot_, std::string("Answer: ") + AnswerText(answer) + " (" + how + ")");
  }
  return answer;
}

void CliView::OfferSNEntry() {
  out_.Note(slot_, "Input SN: run again with --sn <serial number> to restore from the saved backup.");
}

void CliView::ShowResultSN(const std::string& sn) {
  if (sn.empty()) return;
  resultSN_ = sn;
  out_.Detail(slot_, "SN: " + sn);
}

void CliView::RunEnded(int, bool passed, int errorCode) {
  ended_ = true;
  passed_ = passed;
  errorCode_ = errorCode;
}

}  // namespace zovir::cli
