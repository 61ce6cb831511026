#include "platform/ui/answers.h"

#include <cctype>
#include <cstdlib>
#include <fstream>

#include "platform/fs/path.h"
#include "platform/ui/transcript.h"

namespace qx::ui {

namespace {

std::string Trim(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return std::string(text.substr(b, e - b));
}

}  // namespace

CAnswerList& CAnswerList::Instance() {
  static CAnswerList* list = new CAnswerList;
  return *list;
}

void CAnswerList::Set(std::vector<std::string> answers) {
  std::lock_guard lock(m_lock);
  m_answers.assign(std::make_move_iterator(answers.begin()), std::make_move_iterator(answers.end()));
}

void CAnswerList::Append(std::string answer) {
  std::lock_guard lock(m_lock);
  m_answers.push_back(std::move(answer));
}

void CAnswerList::Clear() {
  std::lock_guard lock(m_lock);
  m_answers.clear();
}

std::optional<std::string> CAnswerList::Next() {
  return NextIf([](const std::string&) { return true; });
}

size_t CAnswerList::Remaining() const {
  std::lock_guard lock(m_lock);
  return m_answers.size();
}

std::vector<std::string> CAnswerList::ParseList(std::string_view commaSeparated) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= commaSeparated.size()) {
    size_t comma = commaSeparated.find(',', start);
    if (comma == std::string_view::npos) comma = commaSeparated.size();
    std::string entry = Trim(commaSeparated.substr(start, comma - start));
    if (!entry.empty()) out.push_back(std::move(entry));
    start = comma + 1;
  }
  return out;
}

std::optional<std::string> ClickTarget(std::string_view answer) {
  constexpr std::string_view kPrefix = "click:";
  if (answer.size() < kPrefix.size()) return std::nullopt;
  for (size_t i = 0; i < kPrefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(answer[i])) != kPrefix[i]) return std::nullopt;
  }
  return Trim(answer.substr(kPrefix.size()));
}

bool ConfigureFromEnvironment(std::string* error) {
  bool ok = true;
  auto fail = [&](const std::string& why) {
    ok = false;
    if (error) *error = error->empty() ? why : *error + "; " + why;
  };
  if (const char* list = std::getenv("QX_ANSWERS")) {
    for (auto& a : CAnswerList::ParseList(list)) CAnswerList::Instance().Append(std::move(a));
  }
  if (const char* file = std::getenv("QX_ANSWERS_FILE"); file && *file) {
    std::ifstream in(qx::fs::ResolvePath(file));
    if (!in) {
      fail(std::string("cannot read the answers file ") + file);
    } else {
      for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) CAnswerList::Instance().Append(line);
      }
    }
  }
  if (const char* transcript = std::getenv("QX_TRANSCRIPT"); transcript && *transcript) {
    if (!CTranscript::Instance().OpenFile(transcript)) {
      fail(std::string("cannot create the transcript file ") + transcript);
    }
  }
  return ok;
}

}  // namespace qx::ui
