#pragma once
#include <mutex>
#include <string>

#include "ui/cli/cli_output.h"
#include "ui/view.h"

namespace zovir::cli {

// How the command line answers the controller's questions.
enum class AnswerPolicy {
  Yes,     // --yes
  No,      // --no
  Prompt,  // neither, on a terminal: ask the user
  Safe,    // neither, not on a terminal: the choice that writes nothing (No, Cancel)
};

// The controller's view on a terminal, a pipe or JSON: status lines, progress, messages and
// the result are printed; labels and buttons become state the front end reads; questions are
// answered by the policy; the serial-number entry is --sn. One per slot, all on the
// controller's thread.
class CliView final : public View {
 public:
  CliView(CliOutput& out, int slot, AnswerPolicy policy, std::string sn)
      : out_(out), slot_(slot), policy_(policy), sn_(std::move(sn)) {}

  void SetStatusLabel(const std::string& text, LabelStyle style) override;
  void ShowStatusLabel(bool) override {}
  void SetJapaneseStatusLabel(const std::string& text, LabelColor color, bool visible) override;
  void SetVersionLabel(const std::string& text) override;
  void SetStatusBar(const std::string&) override {}
  void SetResultState(int) override {}
  void SetOptionSummary(const std::string& text) override { summary_ = text; }
  void SetImageFolder(const std::string&) override {}
  void ShowPorts(const PortLists& lists) override { ports_ = lists; }
  void EnableStart(bool) override {}
  void EnableStop(bool) override {}
  void EnableClose(bool) override {}
  void ShowStartArt(StartArt) override {}
  void ShowWorking(bool, bool) override {}
  void ShowReupdate(bool) override {}
  void EnablePortGroup(bool) override {}
  void StatusLine(const std::string& text, int kind) override;
  void Progress(int slot, int position, int maximum) override;
  void Message(const std::string& text, const std::string& caption, MessageKind kind) override;
  Answer Ask(const std::string& text, const std::string& caption, Question question) override;
  // A guide or agreement page is asked as every other question: --yes accepts, --no and a run
  // without a terminal decline (and the program ends before anything is written).
  bool ShowWizard(const WizardPrompt& prompt) override {
    return Ask(prompt.agreement, prompt.title, Question::OkCancel) == Answer::Ok;
  }
  std::string ReadSNEntry() override { return sn_; }
  void EnableSNEntry(bool) override {}
  void OfferSNEntry() override;
  void FinishSNEntry() override { sn_.clear(); }
  void ShowResultSN(const std::string& sn) override;
  void RunEnded(int slot, bool passed, int errorCode) override;
  void RequestEnd() override { endRequested_ = true; }

  int slot() const { return slot_; }
  bool Ended() const { return ended_; }
  bool Passed() const { return passed_; }
  int ErrorCode() const { return errorCode_; }
  // A question was answered No or Cancel.
  bool Declined() const { return declined_; }
  bool EndRequested() const { return endRequested_; }
  int MessagesShown() const { return messages_; }
  const std::string& OptionSummary() const { return summary_; }
  const PortLists& Ports() const { return ports_; }
  // The serial number a passing run showed.
  const std::string& ResultSN() const { return resultSN_; }
  // Views of several slots that share one terminal ask one question at a time.
  void SerializeQuestions(std::mutex& lock) { askLock_ = &lock; }
  // Lets a new run be followed (the automatic-test repeat).
  void ResetResult() { ended_ = passed_ = false; }

 private:
  CliOutput& out_;
  int slot_;
  AnswerPolicy policy_;
  std::string sn_;
  std::string label_;
  std::string resultSN_;
  std::string summary_;
  PortLists ports_;
  bool ended_ = false, passed_ = false, declined_ = false, endRequested_ = false;
  int errorCode_ = 0;
  int messages_ = 0;
  std::mutex* askLock_ = nullptr;
};

}  // namespace zovir::cli
