// CWnd: the base of the installer's window classes. Its one operation, the
// window's title, is what message boxes put on their own title bar; the
// base has none. GUI thread only, like every window.
#ifndef UI_WND_H_
#define UI_WND_H_

#include "text/wide_string.h"

class CWnd {
 public:
  CWnd() = default;
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;
  virtual ~CWnd() = default;

  virtual WideString GetTitle() const { return WideString(); }
};

#endif  // UI_WND_H_
