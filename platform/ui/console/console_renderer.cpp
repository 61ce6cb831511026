#include "platform/ui/console/console_renderer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>

#include "platform/ui/message_box.h"
#include "platform/ui/transcript.h"
#include "platform/ui/window.h"

namespace qx::ui {

namespace {

constexpr int kBarWidth = 20;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
  return text.substr(b, e - b);
}

// One line for the live line: line ends become blanks.
std::string Flatten(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  }
  return out;
}

int Percent(int lower, int upper, int pos) {
  if (upper <= lower) return 0;
  const long long p = (static_cast<long long>(pos) - lower) * 100 / (static_cast<long long>(upper) - lower);
  return static_cast<int>(std::clamp<long long>(p, 0, 100));
}

std::string Key(const std::string& text) {
  const size_t amp = text.find('&');
  if (amp != std::string::npos && amp + 1 < text.size() && text[amp + 1] != '&') {
    return std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(text[amp + 1]))));
  }
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
      return std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
  }
  return {};
}

std::string Label(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

bool Pressable(const WindowInfo_t& c) {
  return (c.kind == ControlKind::kButton || c.kind == ControlKind::kDefaultButton ||
          c.kind == ControlKind::kCheckBox || c.kind == ControlKind::kIconButton) &&
         c.enabled && c.visible;
}

std::string ButtonsWithKeys(UINT type) {
  std::string out;
  for (int id : BoxButtons(type)) {
    const std::string name = ButtonName(id);
    if (!out.empty()) out += " ";
    out += "[" + name.substr(0, 1) + "]" + name.substr(1);
  }
  return out;
}

std::string SourceText(AnswerSource source, const std::string& note) {
  switch (source) {
    case AnswerSource::kList: return "from the answers list";
    case AnswerSource::kTerminal: return "answered here";
    case AnswerSource::kDefault: return note.empty() ? "the safe answer" : "the safe answer: " + note;
  }
  return {};
}

std::string BoxText(const MessageBoxRequest_t& request) {
  std::string out = "--- " + request.caption + " ---\n" + request.text;
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

}  // namespace

CConsoleRenderer::CConsoleRenderer(ConsoleOptions_t options) : m_options(options) {
  m_bTerminal = m_options.terminal.value_or(::isatty(m_options.outputFd) == 1);
  const bool interactive =
      m_options.interactive.value_or(::isatty(m_options.inputFd) == 1 && ::isatty(m_options.outputFd) == 1);
  if (interactive && ::pipe2(m_wakePipe, O_CLOEXEC) == 0) {
    m_bInteractive = true;
    m_reader = std::thread([this] { ReadInput(); });
  }
}

CConsoleRenderer::~CConsoleRenderer() {
  if (m_reader.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &byte, 1);
    m_reader.join();
  }
  for (int fd : m_wakePipe) {
    if (fd >= 0) ::close(fd);
  }
  std::lock_guard lock(m_lock);
  if (m_bLiveShown) Write("\n");
}

// ---------------------------------------------------------------------------
// Output

void CConsoleRenderer::Write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(m_options.outputFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nobody reads the output any more
    done += static_cast<size_t>(n);
  }
}

int CConsoleRenderer::Width() const {
  if (m_options.width > 0) return m_options.width;
  winsize size{};
  if (::ioctl(m_options.outputFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

CConsoleRenderer::DialogView* CConsoleRenderer::FindView(HWND dialog) {
  for (auto& v : m_views) {
    if (v.hwnd == dialog) return &v;
  }
  return nullptr;
}

CConsoleRenderer::DialogView* CConsoleRenderer::LiveView() {
  for (auto it = m_views.rbegin(); it != m_views.rend(); ++it) {
    if (it->hasStatus || it->hasBar) return &*it;
  }
  return nullptr;
}

void CConsoleRenderer::ClearLive() {
  if (m_bLiveShown) Write("\r\x1b[K");
  m_bLiveShown = false;
}

void CConsoleRenderer::DrawLive() {
  if (!m_bTerminal) return;
  if (m_bAsking) {
    // The question's prompt keeps the line until it is answered.
    m_bRedrawPending = true;
    return;
  }
  const DialogView* v = LiveView();
  if (!v) return;
  std::string line;
  if (v->hasBar) {
    const int percent = Percent(v->lower, v->upper, v->pos);
    const int filled = percent * kBarWidth / 100;
    char number[8];
    std::snprintf(number, sizeof number, "%3d%%", percent);
    line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBarWidth - filled), '-') +
           "] " + number + " ";
  }
  line += Flatten(v->status);
  if (line.empty()) {
    ClearLive();
    return;
  }
  const size_t room = static_cast<size_t>(std::max(Width() - 1, 1));
  if (line.size() > room) line.resize(room);
  Write("\r" + line + "\x1b[K");
  m_bLiveShown = true;
  m_bRedrawPending = false;
  m_lastDraw = Clock::now();
}

void CConsoleRenderer::PrintLines(const std::string& text) {
  ClearLive();
  std::string out = text;
  if (out.empty() || out.back() != '\n') out += '\n';
  Write(out);
  DrawLive();
}

void CConsoleRenderer::OnDialogCreated(HWND dialog) {
  const auto info = DescribeWindow(dialog);
  if (!info) return;
  const auto controls = DescribeControls(dialog);
  DialogView view;
  view.hwnd = dialog;
  std::vector<std::string> statics;
  std::string text;
  for (const auto& c : controls) {
    if (c.role == ControlRole::kStatusLine) {
      view.hasStatus = true;
      view.status = c.text;
    } else if (c.role == ControlRole::kProgressBar) {
      view.hasBar = true;
      view.lower = c.lower;
      view.upper = c.upper;
      view.pos = c.pos;
    } else if (c.role == ControlRole::kTextView) {
      text = c.text;
    } else if (c.kind == ControlKind::kStatic && !c.text.empty()) {
      statics.push_back(c.text);
    }
  }
  std::lock_guard lock(m_lock);
  m_views.push_back(view);
  std::string out = "== " + info->text + " ==\n";
  if (!view.hasStatus && !view.hasBar) {
    for (const auto& s : statics) out += s + "\n";
  }
  if (!text.empty()) out += text + "\n";
  if (!m_bTerminal && view.hasStatus && !view.status.empty()) out += view.status + "\n";
  PrintLines(out);
}

void CConsoleRenderer::OnDialogDestroyed(HWND dialog) {
  std::lock_guard lock(m_lock);
  const DialogView* live = LiveView();
  if (m_bLiveShown && live && live->hwnd == dialog) {
    // The last state stays on the screen.
    Write("\n");
    m_bLiveShown = false;
  }
  m_views.erase(std::remove_if(m_views.begin(), m_views.end(), [&](const DialogView& v) { return v.hwnd == dialog; }),
                m_views.end());
  DrawLive();
}

void CConsoleRenderer::OnTextChanged(HWND hwnd, const std::string& text) {
  const auto info = DescribeWindow(hwnd);
  if (!info) return;
  std::lock_guard lock(m_lock);
  if (info->isDialog) {
    if (FindView(hwnd)) PrintLines("== " + text + " ==");
    return;
  }
  DialogView* view = FindView(info->parent);
  if (!view) return;
  if (info->role == ControlRole::kStatusLine) {
    view->status = text;
    if (m_bTerminal) {
      DrawLive();
    } else if (!text.empty()) {
      PrintLines(text);
    }
  } else if (info->role == ControlRole::kTextView && !text.empty()) {
    PrintLines(text);
  }
}

void CConsoleRenderer::OnProgressChanged(HWND control, int lower, int upper, int pos) {
  const auto info = DescribeWindow(control);
  if (!info || info->role != ControlRole::kProgressBar) return;
  std::lock_guard lock(m_lock);
  DialogView* view = FindView(info->parent);
  if (!view) return;
  const bool rangeChanged = view->lower != lower || view->upper != upper;
  view->lower = lower;
  view->upper = upper;
  view->pos = pos;
  const auto now = Clock::now();
  if (m_bTerminal) {
    if (now - m_lastDraw >= m_options.redrawInterval) {
      DrawLive();
    } else {
      m_bRedrawPending = true;
    }
    return;
  }
  if (rangeChanged) view->lastTenth = -1;
  const int tenth = Percent(lower, upper, pos) / 10;
  if (tenth == view->lastTenth) return;
  if (tenth == 0) {
    view->lastTenth = 0;  // starting (again) is not news
    return;
  }
  if (tenth != 10 && view->lastTenth > 0 && now - view->lastProgressLine < m_options.progressLineInterval) return;
  view->lastTenth = tenth;
  view->lastProgressLine = now;
  PrintLines("Progress: " + std::to_string(tenth * 10) + "%");
}

void CConsoleRenderer::OnRedraw(HWND) {
  std::lock_guard lock(m_lock);
  if (m_bRedrawPending) DrawLive();
}

void CConsoleRenderer::OnBeep(UINT) {
  std::lock_guard lock(m_lock);
  if (m_bTerminal) Write("\a");
}

// ---------------------------------------------------------------------------
// Questions

bool CConsoleRenderer::IsInteractive() const { return m_bInteractive.load(); }

std::optional<std::string> CConsoleRenderer::NextLine() {
  std::unique_lock lock(m_lock);
  m_lineArrived.wait(lock, [&] { return !m_lines.empty() || m_bInputEnded; });
  if (m_lines.empty()) return std::nullopt;
  std::string line = std::move(m_lines.front());
  m_lines.pop_front();
  return line;
}

std::optional<int> CConsoleRenderer::AskMessageBox(const MessageBoxRequest_t& request) {
  std::lock_guard question(m_questionLock);
  {
    std::lock_guard lock(m_lock);
    if (m_bInputEnded) return std::nullopt;
    m_lines.clear();
    m_bAsking = true;
    PrintLines(BoxText(request));
    ClearLive();
    Write(ButtonsWithKeys(request.type) + " ? ");
  }
  std::optional<int> answer;
  while (auto line = NextLine()) {
    answer = MatchButton(request.type, *line);
    if (answer && *answer) break;
    answer.reset();
    std::lock_guard lock(m_lock);
    Write("Please answer " + ButtonsWithKeys(request.type) + " ? ");
  }
  std::lock_guard lock(m_lock);
  m_bAsking = false;
  DrawLive();
  return answer;
}

std::optional<FolderAnswer_t> CConsoleRenderer::AskFolder(const FolderRequest_t& request) {
  std::lock_guard question(m_questionLock);
  {
    std::lock_guard lock(m_lock);
    if (m_bInputEnded) return std::nullopt;
    m_lines.clear();
    m_bAsking = true;
    PrintLines("--- " + request.title + " ---");
    ClearLive();
    Write("Folder (an empty line cancels): ");
  }
  const auto line = NextLine();
  std::lock_guard lock(m_lock);
  m_bAsking = false;
  DrawLive();
  if (!line) return std::nullopt;
  const std::string path = Trim(*line);
  if (path.empty() || Lower(path) == "cancel") return FolderAnswer_t{true, ""};
  return FolderAnswer_t{false, path};
}

void CConsoleRenderer::OnMessageBoxAnswered(const MessageBoxRequest_t& request, int answer, AnswerSource source,
                                            const std::string& note) {
  if (source == AnswerSource::kTerminal) return;  // the question and the typed answer are on the screen
  std::lock_guard lock(m_lock);
  PrintLines(BoxText(request) + "[" + ButtonSetName(request.type) + "] -> " + ButtonName(answer) + " (" +
             SourceText(source, note) + ")");
}

void CConsoleRenderer::OnFolderAnswered(const FolderRequest_t& request, const FolderAnswer_t& answer,
                                        AnswerSource source, const std::string& note) {
  if (source == AnswerSource::kTerminal) return;
  std::lock_guard lock(m_lock);
  PrintLines("--- " + request.title + " ---\n-> " + (answer.cancelled ? std::string("Cancel") : answer.path) + " (" +
             SourceText(source, note) + ")");
}

void CConsoleRenderer::OnDialogWaiting(HWND dialog) {
  std::string prompt;
  for (const auto& c : DescribeControls(dialog)) {
    if (!Pressable(c)) continue;
    const std::string label = Label(c.text);
    const std::string key = Key(c.text);
    std::string shown = label;
    if (label.empty()) {
      shown = "[" + std::to_string(c.id) + "]";  // an icon button: pressed by its number
    } else if (!key.empty()) {
      // Show the key inside the label where it stands, else in front.
      const auto at = Lower(label).find(key);
      shown = at == std::string::npos ? "[" + key + "] " + label
                                      : label.substr(0, at) + "[" + label.substr(at, 1) + "]" + label.substr(at + 1);
    }
    if (c.kind == ControlKind::kCheckBox) shown += c.check == BST_CHECKED ? " (on)" : " (off)";
    prompt += (prompt.empty() ? "" : "  ") + shown;
  }
  if (prompt.empty()) return;
  std::lock_guard lock(m_lock);
  DialogView* view = FindView(dialog);
  if (!view || view->lastPrompt == prompt) return;
  view->lastPrompt = prompt;
  PrintLines("Press: " + prompt);
}

void CConsoleRenderer::PressButton(HWND dialog, const std::string& typed) {
  const std::string line = Lower(Trim(typed));
  if (line.empty()) return;
  const auto controls = DescribeControls(dialog);
  const WindowInfo_t* chosen = nullptr;
  for (const auto& c : controls) {
    if (Pressable(c) && (Lower(Label(c.text)) == line || (line.size() == 1 && Key(c.text) == line) ||
                         line == std::to_string(c.id))) {
      chosen = &c;
      break;
    }
  }
  if (chosen && ClickButton(dialog, chosen->id, AnswerSource::kTerminal)) {
    std::lock_guard lock(m_lock);
    if (DialogView* view = FindView(dialog)) view->lastPrompt.clear();
    return;
  }
  std::lock_guard lock(m_lock);
  PrintLines("No button \"" + Trim(typed) + "\" can be pressed now.");
  if (DialogView* view = FindView(dialog)) view->lastPrompt.clear();
}

void CConsoleRenderer::ReadInput() {
  std::string pending;
  char buffer[512];
  for (;;) {
    pollfd fds[2] = {{m_options.inputFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents) return;  // the renderer goes away
    const ssize_t n = ::read(m_options.inputFd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, eol);
      pending.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      HWND dialog = nullptr;
      {
        std::lock_guard lock(m_lock);
        if (m_bAsking) {
          m_lines.push_back(std::move(line));
          m_lineArrived.notify_all();
          continue;
        }
        if (!m_views.empty()) dialog = m_views.back().hwnd;
      }
      if (dialog) PressButton(dialog, line);
    }
  }
  // End of input: nobody answers from now on.
  m_bInteractive = false;
  std::lock_guard lock(m_lock);
  m_bInputEnded = true;
  m_lineArrived.notify_all();
}

std::shared_ptr<CConsoleRenderer> InstallConsoleRenderer(ConsoleOptions_t options) {
  std::signal(SIGPIPE, SIG_IGN);
  auto renderer = std::make_shared<CConsoleRenderer>(options);
  SetRenderer(renderer);
  return renderer;
}

}  // namespace qx::ui
