// The text form of the news page and the parts of its address.
#include <cstring>

#include "patcher/net/patch_notes.h"

namespace {

// Replaces every `a_sFind` by `a_sReplace` in one left-to-right pass (the
// replacement is not searched again).
void ReplaceAll(std::string& a_rsText, std::string_view a_sFind, std::string_view a_sReplace) {
  std::string out;
  out.reserve(a_rsText.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t hit = a_rsText.find(a_sFind, start);
    if (hit == std::string::npos) break;
    out.append(a_rsText, start, hit - start);
    out.append(a_sReplace);
    start = hit + a_sFind.size();
  }
  out.append(a_rsText, start, std::string::npos);
  a_rsText = std::move(out);
}

}  // namespace

void HtmlToText(std::string& a_rsText) {
  std::string text;
  text.reserve(a_rsText.size());
  for (char c : a_rsText) {
    if (c != '\r' && c != '\n') text += c;
  }

  ReplaceAll(text, "  ", " ");
  ReplaceAll(text, "<br>", "\r\n");
  ReplaceAll(text, "<p>", "\r\n\r\n");
  ReplaceAll(text, "<hr>", "\r\n---\r\n");
  ReplaceAll(text, "&nbsp;", "");
  ReplaceAll(text, "</li>", "\r\n");
  ReplaceAll(text, "</p>", "\r\n");

  // Tags go from the first "<" to the first ">" after it. Text is never put
  // back in front of a removed tag, so each search may start where the last
  // tag was; a "<" without a ">" ends the removal and keeps the rest.
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (;;) {
    const std::size_t open = text.find('<', pos);
    if (open == std::string::npos) break;
    const std::size_t close = text.find('>', open);
    if (close == std::string::npos) break;
    out.append(text, pos, open - pos);
    pos = close + 1;
  }
  out.append(text, pos, std::string::npos);

  ReplaceAll(out, "\r\n\r\n\r\n", "\r\n\r\n");
  a_rsText = std::move(out);
}

NewsAddress_t SplitNewsAddress(std::string_view a_sAddress) {
  NewsAddress_t address;
  const std::size_t slashes = a_sAddress.find("//");
  const std::size_t pathStart = slashes == std::string_view::npos ? std::string_view::npos : a_sAddress.find('/', slashes + 2);
  if (pathStart == std::string_view::npos) {
    address.path.assign(a_sAddress);
    return address;
  }
  std::string_view host = a_sAddress.substr(slashes + 2, pathStart - slashes - 2);
  address.path.assign(a_sAddress.substr(pathStart));
  // An explicit port: "host:8080".
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && colon + 1 < host.size() && host.size() - colon - 1 <= 5) {
    std::int32_t port = 0;
    bool digits = true;
    for (char c : host.substr(colon + 1)) {
      if (c < '0' || c > '9') digits = false;
      else port = port * 10 + (c - '0');
    }
    if (digits && port > 0 && port <= 65535) {
      address.port = port;
      host = host.substr(0, colon);
    }
  }
  address.host.assign(host);
  return address;
}

std::string CutNotesBetweenMarkers(const std::string& a_sPage) {
  const std::size_t begin = a_sPage.find(kNotesBeginMarker);
  const std::size_t end = a_sPage.find(kNotesEndMarker);
  if (begin == std::string::npos || end == std::string::npos) return a_sPage;
  // The marker and the one character after it are dropped.
  const std::size_t start = std::min(begin + std::strlen(kNotesBeginMarker) + 1, a_sPage.size());
  // An end marker in front of the start does not end the notes: the first
  // one after the start does, or the end of the page.
  const std::size_t stop = end >= start ? end : a_sPage.find(kNotesEndMarker, start);
  return a_sPage.substr(start, stop == std::string::npos ? std::string::npos : stop - start);
}
