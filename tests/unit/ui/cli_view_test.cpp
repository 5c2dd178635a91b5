#include "ui/cli/cli_view.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

#include "engine/engine_types.h"

namespace zovir::cli {
namespace {

// The printed lines of a CliOutput that writes into memory.
class Captured {
 public:
  explicit Captured(CliOutput::Style style) {
    file_ = open_memstream(&buffer_, &size_);
    out = std::make_unique<CliOutput>(style, file_);
  }
  ~Captured() {
    out.reset();
    std::fclose(file_);
    std::free(buffer_);
  }
  std::vector<std::string> Lines() {
    std::fflush(file_);
    std::vector<std::string> lines;
    std::istringstream in(std::string(buffer_, size_));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::unique_ptr<CliOutput> out;

 private:
  std::FILE* file_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

struct AskCase {
  AnswerPolicy policy;
  Question question;
  Answer expected;
  const char* printed;
};

TEST(CliView, QuestionsAreAnsweredByThePolicyAndSaySo) {
  const AskCase cases[] = {
      {AnswerPolicy::Yes, Question::OkCancel, Answer::Ok, "Answer: OK (--yes)"},
      {AnswerPolicy::Yes, Question::YesNo, Answer::Yes, "Answer: Yes (--yes)"},
      {AnswerPolicy::No, Question::OkCancel, Answer::Cancel, "Answer: Cancel (--no)"},
      {AnswerPolicy::No, Question::YesNo, Answer::No, "Answer: No (--no)"},
      {AnswerPolicy::Safe, Question::OkCancel, Answer::Cancel, "Answer: Cancel (no --yes given, the safe choice)"},
      {AnswerPolicy::Safe, Question::YesNo, Answer::No, "Answer: No (no --yes given, the safe choice)"},
  };
  for (const auto& c : cases) {
    Captured captured(CliOutput::Style::Plain);
    CliView view(*captured.out, 0, c.policy, "");
    EXPECT_EQ(view.Ask("Are you sure reupdate again?", "Warning", c.question), c.expected) << c.printed;
    EXPECT_EQ(view.Declined(), c.expected == Answer::Cancel || c.expected == Answer::No) << c.printed;
    EXPECT_EQ(captured.Lines(), (std::vector<std::string>{"[Warning] Are you sure reupdate again?", c.printed}));
  }
}

TEST(CliView, JsonEventsAreWholeObjects) {
  Captured captured(CliOutput::Style::Json);
  CliView view(*captured.out, 2, AnswerPolicy::No, "");
  view.StatusLine("Backup succssfully", mtProgress);
  view.StatusLine("ERROR, Open port failed, Error code: 2", mtError);
  view.Progress(0, 40, 100);
  view.Message("Port is empty", "Download", MessageKind::Warning);
  view.Ask("Quorvel_ZOVIR Demo", "Title", Question::OkCancel);
  const auto lines = captured.Lines();
  ASSERT_EQ(lines.size(), 5u);
  std::vector<nlohmann::json> events;
  for (const auto& line : lines) events.push_back(nlohmann::json::parse(line));
  // The slot is the view's, whatever slot the controller drives.
  for (const auto& e : events) {
    if (e.contains("slot")) {
      EXPECT_EQ(e["slot"], 2) << e.dump();
    }
  }
  EXPECT_EQ(events[0]["event"], "status");
  EXPECT_EQ(events[0]["kind"], "progress");
  EXPECT_EQ(events[1]["event"], "error");
  EXPECT_EQ(events[2]["position"], 40);
  EXPECT_EQ(events[3]["caption"], "Download");
  EXPECT_EQ(events[4]["event"], "question");
  EXPECT_EQ(events[4]["answer"], "Cancel");
}

}  // namespace
}  // namespace zovir::cli
