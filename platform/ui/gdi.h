// Icons and fonts as the window model knows them: names for a renderer.
//
// An icon handle stands for an icon resource id (LoadIcon); a window keeps the
// icons it is given, and a renderer may show them. A CFont holds a font
// description that a window keeps for its renderer; nothing is drawn here.
//
// Plain values; a CFont is used by one thread at a time and must outlive the
// windows it is set on (as on Windows).
#pragma once

#include <string>

#include "platform/win32.h"

struct HICON__;
using HICON = HICON__*;

// The handle for icon resource `id` (never null for id != 0).
HICON LoadIcon(UINT id);
namespace qx::ui {
// The resource id an icon handle stands for; 0 for a null handle.
UINT IconResourceId(HICON icon);
}  // namespace qx::ui

inline constexpr int LF_FACESIZE = 32;
inline constexpr LONG FW_NORMAL = 400;
inline constexpr LONG FW_SEMIBOLD = 600;
inline constexpr LONG FW_BOLD = 700;
inline constexpr BYTE ANSI_CHARSET = 0;
inline constexpr BYTE OUT_TT_PRECIS = 4;
inline constexpr BYTE CLIP_CHARACTER_PRECIS = 1;

struct LOGFONTA {
  LONG lfHeight = 0;  // for CreatePointFontIndirect: tenths of a point
  LONG lfWidth = 0;
  LONG lfEscapement = 0;
  LONG lfOrientation = 0;
  LONG lfWeight = 0;
  BYTE lfItalic = 0;
  BYTE lfUnderline = 0;
  BYTE lfStrikeOut = 0;
  BYTE lfCharSet = 0;
  BYTE lfOutPrecision = 0;
  BYTE lfClipPrecision = 0;
  BYTE lfQuality = 0;
  BYTE lfPitchAndFamily = 0;
  char lfFaceName[LF_FACESIZE] = {};
};
using LOGFONT = LOGFONTA;

class CDC;

class CFont {
 public:
  CFont() = default;
  // Keeps the description; lfHeight is in tenths of a point. FALSE for a null pointer.
  BOOL CreatePointFontIndirect(const LOGFONTA* logFont, CDC* dc = nullptr);
  BOOL CreateFontIndirect(const LOGFONTA* logFont);
  BOOL DeleteObject();
  int GetLogFont(LOGFONTA* logFont) const;

  bool IsCreated() const { return m_bCreated; }
  std::string FaceName() const { return m_font.lfFaceName; }
  int PointSize() const { return m_nPointSizeTenths / 10; }
  LONG Weight() const { return m_font.lfWeight; }

 private:
  LOGFONTA m_font;
  int m_nPointSizeTenths = 0;
  bool m_bCreated = false;
};
