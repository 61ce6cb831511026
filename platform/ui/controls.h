// Control wrappers: CStatic, CEdit, CButton and CProgressCtrl.
//
// A control is made with its dialog (dialog.h). Its wrapper object is either
// the one the model made (what GetDlgItem returns) or a member of the dialog
// bound to it with DDX_Control / SubclassDlgItem; both address the same
// control. Every operation works from any thread (see window.h) and does
// nothing (returning 0) on a wrapper that is not attached.
//
// Progress bars: range 0..100, position 0 and step 10 until changed. SetPos
// and OffsetPos keep the position inside the range; StepIt adds the step and,
// past the upper end, starts again from the lower end (an endless activity
// bar).
#pragma once

#include "platform/ui/window.h"

class CStatic : public CWnd {
 public:
  HICON SetIcon(HICON icon);
};

class CEdit : public CWnd {
 public:
  BOOL SetReadOnly(BOOL readOnly = TRUE);
  // Appends `text` at the end (the only selection this model knows).
  void ReplaceSel(LPCSTR text, BOOL canUndo = FALSE);
};

class CButton : public CWnd {
 public:
  // BST_CHECKED / BST_UNCHECKED for check boxes; 0 for other buttons.
  int GetCheck() const;
  void SetCheck(int check);
  // Image of an icon button.
  HICON SetIcon(HICON icon);
  HICON GetIcon() const;
};

class CProgressCtrl : public CWnd {
 public:
  void SetRange(short lower, short upper);
  void SetRange32(int lower, int upper);
  void GetRange(int& lower, int& upper) const;
  // Each returns the previous position.
  int SetPos(int pos);
  int OffsetPos(int delta);
  int StepIt();
  int GetPos() const;
  // Returns the previous step.
  int SetStep(int step);
};
