// CWnd: the base of the installer's window classes: the window's title,
// which message boxes put on their own title bar, and the window they stay
// over; the base has neither. GUI thread only, like every window.
#ifndef UI_WND_H_
#define UI_WND_H_

#include "text/wide_string.h"

typedef struct _GtkWindow GtkWindow;

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd() = default;

  virtual WideString GetTitle() const { return WideString(); }
  // The window that message boxes stay over; none for the base.
  virtual GtkWindow* GetGtkWindow() const { return nullptr; }
};

#endif  // UI_WND_H_
