#pragma once
#include <string>
#include <vector>

namespace zovir {

enum class MessageButtons { Ok, OkCancel };
enum class MessageIcon { None, Warning };

// Where the configuration code sends what the user must see. The front ends implement it
// (a message box in the window, a line on the terminal for the command line); library code
// never writes to a terminal itself.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // A modal message: returns when the user has acknowledged it.
  virtual void Show(const std::string& text, const std::string& caption, MessageButtons buttons,
                    MessageIcon icon) = 0;
  // A line for the run log; nothing is shown.
  virtual void Log(const std::string& line) = 0;
};

// Keeps every message and log line; used by tests and by front ends that show the messages
// after the fact.
class RecordingMessageSink : public MessageSink {
 public:
  struct Message {
    std::string text;
    std::string caption;
    MessageButtons buttons = MessageButtons::Ok;
    MessageIcon icon = MessageIcon::None;
  };
  void Show(const std::string& text, const std::string& caption, MessageButtons buttons,
            MessageIcon icon) override {
    messages.push_back({text, caption, buttons, icon});
  }
  void Log(const std::string& line) override { logLines.push_back(line); }

  std::vector<Message> messages;
  std::vector<std::string> logLines;
};

}  // namespace zovir
