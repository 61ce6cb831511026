// The answers list: what an unattended run or a test answers in advance.
//
// Each question a program asks its user takes the next entry of the list:
//  - a message box: a button name ("OK", "Cancel", "Yes", "No", "Retry",
//    "Abort", "Ignore"), without regard to case; a unique first part ("Y")
//    will do. An entry that names no button of the box is used up, and the
//    box gets its safe answer (message_box.h) with a note in the transcript.
//  - the folder picker: a folder path, or "Cancel".
//  - a dialog waiting for its user (dialog.h): an entry "Click:<button>",
//    where <button> is the button's text (without '&', without regard to
//    case) or its control id. A waiting dialog takes only such entries.
// When the list is empty, the renderer's user is asked; without one, the safe
// answer is given. Either way the transcript records the source.
//
// ConfigureFromEnvironment reads, in this order:
//  - QX_ANSWERS: entries separated by commas ("Yes,No,Cancel"); blanks around
//    an entry are dropped, empty entries skipped;
//  - QX_ANSWERS_FILE: a file with one entry per line (CR before LF dropped,
//    empty lines skipped), appended after QX_ANSWERS;
//  - QX_TRANSCRIPT: a file that receives the transcript (transcript.h).
//
// Thread-safe.
#pragma once

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qx::ui {

class CAnswerList {
 public:
  static CAnswerList& Instance();

  void Set(std::vector<std::string> answers);
  void Append(std::string answer);
  void Clear();
  // Takes the next entry.
  std::optional<std::string> Next();
  // Takes the next entry only when `accept` agrees with it.
  template <typename Pred>
  std::optional<std::string> NextIf(Pred accept) {
    std::lock_guard lock(m_lock);
    if (m_answers.empty() || !accept(m_answers.front())) return std::nullopt;
    std::string answer = std::move(m_answers.front());
    m_answers.pop_front();
    return answer;
  }
  size_t Remaining() const;

  static std::vector<std::string> ParseList(std::string_view commaSeparated);

 private:
  CAnswerList() = default;
  mutable std::mutex m_lock;
  std::deque<std::string> m_answers;
};

// Reads the variables above. FALSE, with `error` set, when the answers file
// cannot be read or the transcript file cannot be created; what could be read
// is kept.
bool ConfigureFromEnvironment(std::string* error = nullptr);

// "Click:<button>" entries: the <button> part, or nothing for other entries.
std::optional<std::string> ClickTarget(std::string_view answer);

}  // namespace qx::ui
