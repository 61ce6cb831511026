// Plain-text patch notes from the news page, for the window's text view.
//
// HtmlToText turns the part of the news page between the markers
// "<!--QXMSG.begin -->" and "<!--QXMSG.end -->" into text: line ends are
// dropped, double blanks halved, <br>, <p>, <hr>, </li> and </p> (lower case
// only) become CR LF line breaks, "&nbsp;" vanishes, every other tag is
// removed, and three line breaks in a row become two. A "<" with no ">" after
// it ends the tag removal; the rest of the text is kept as it is.
//
// SplitNewsAddress takes "scheme://host[:port]/path" apart; without a port
// the page is fetched from port 80.
//
// Functions only; thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr const char* kNotesBeginMarker = "<!--QXMSG.begin -->";
inline constexpr const char* kNotesEndMarker = "<!--QXMSG.end -->";

void HtmlToText(std::string& a_rsText);

struct NewsAddress_t {
  std::string host;  // empty when the address has no "//" followed by a "/"
  std::int32_t port = 80;
  std::string path;  // from the "/" after the host; the whole address without a host
};

NewsAddress_t SplitNewsAddress(std::string_view a_sAddress);

// The part of a page between the markers (see GetPatchNotes); the whole page
// when it lacks one of them.
std::string CutNotesBetweenMarkers(const std::string& a_sPage);
