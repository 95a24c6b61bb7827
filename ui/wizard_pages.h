// The wizard's pages. A page builds its widgets once, in boxes under one
// root widget that it adds to the dialog's page area (any GtkContainer; a
// box gets it expanded), hidden; the dialog shows or hides the whole page
// through widgets() (CInstallerDlg::ShowPage). Nothing is placed at fixed
// coordinates: texts wrap at a width drawn for the usual font, wider in
// proportion to a larger one, with equal margins (long words are broken),
// and a larger font or a longer text makes the page, and with it the window,
// grow rather than cut anything. MessagePage is the side picture with a
// wrapped text (welcome, error and cancel pages), SuccessFinalPage adds the
// check box that asks to open the description, DirSelectPage asks for the
// template directory, ProgressPage shows the copying. The check box and the
// directory field's label have access keys, chosen with those of the
// dialog's buttons (access_keys.h).
//
// Ownership: the dialog owns the page objects; the widgets belong to the
// container and die with the window. A page never destroys a widget, and its
// operations must not be called once the window is gone. Texts are looked up
// when a page is built and handed to GTK as UTF-8.
//
// GTK main thread only.
#ifndef UI_WIZARD_PAGES_H_
#define UI_WIZARD_PAGES_H_

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "text/wide_string.h"

class WizardDialogPage {
 public:
  explicit WizardDialogPage(GtkWidget* container) : container_(container) {}
  WizardDialogPage(const WizardDialogPage&) = delete;
  WizardDialogPage& operator=(const WizardDialogPage&) = delete;
  virtual ~WizardDialogPage() = default;

  // Called by the dialog after the page's widgets have been shown (to put
  // the keyboard focus where the page wants it).
  virtual void OnActivate() {}

  // What the dialog shows and hides: the page's root widget.
  const std::vector<GtkWidget*>& widgets() const { return widgets_; }

 protected:
  // Adds `root`, with everything below it made visible, to the container,
  // hidden, as the page's one widget.
  void AddRoot(GtkWidget* root);

  GtkWidget* container_;
  std::vector<GtkWidget*> widgets_;
};

// The width at which the pages' texts beside the side picture wrap in the
// usual font: the window's width less the picture's column and a right
// margin as wide as the top one.
inline constexpr int kPageTextWidth = 320;

// The room a button keeps on each side between its label and the focus
// ring drawn around it.
inline constexpr int kButtonTextMargin = 6;

// A label for a page's text: wrapped at `width`, words too long for a line
// broken, aligned top left.
GtkWidget* MakeTextLabel(int width);

// Makes `label` wrap at WidthForFont(`width`, its font's size in pixels),
// now and whenever its font changes (the desktop's font setting).
void WrapFollowingFont(GtkWidget* label, int width);

// Makes `widget` ask for at least `width` x `height` pixels, and more when
// its content (a label in a larger font, a longer text) needs it; unlike a
// fixed size request, which would cut the content. `side_margin` pixels are
// added on the left and on the right of what the content asks for.
void KeepAtLeast(GtkWidget* widget, int width, int height, int side_margin = 0);

class MessagePage : public WizardDialogPage {
 public:
  MessagePage(GtkWidget* container, GdkPixbuf* side_picture,
              const WideString& text);

  void SetText(const WideString& text);

  GtkWidget* picture() const { return picture_; }
  GtkWidget* text_label() const { return text_label_; }

 protected:
  // The column beside the picture that holds the text.
  GtkWidget* column() const { return column_; }

 private:
  GtkWidget* picture_;
  GtkWidget* column_;
  GtkWidget* text_label_;
};

class SuccessFinalPage : public MessagePage {
 public:
  // The box "IDS_SUCCESS_OPENDESCR" under the text, checked.
  SuccessFinalPage(GtkWidget* container, GdkPixbuf* side_picture,
                   const WideString& text);

  bool IsOpenDescriptionChecked() const;
  GtkWidget* open_description_box() const { return open_description_box_; }

 private:
  GtkWidget* open_description_box_;
};

class SystemApi;

class DirSelectPage : public WizardDialogPage {
 public:
  // `sys` is asked where Browse starts.
  DirSelectPage(GtkWidget* container, GdkPixbuf* side_picture, SystemApi& sys);

  // Puts the keyboard focus into the entry, where Enter means Next.
  void OnActivate() override;

  // The entry's text.
  void SetPath(const WideString& path);
  WideString GetPath() const;

  // Runs the folder chooser over the window that holds the page (transient
  // for it, modal, centred on it), titled and labelled from the string
  // tables, opening at the folder in the entry or its nearest existing
  // ancestor; an accepted folder replaces the entry's text, anything else
  // leaves it alone.
  void Browse();

  GtkWidget* picture() const { return picture_; }
  GtkWidget* text_label() const { return text_label_; }
  GtkWidget* catalog_label() const { return catalog_label_; }
  GtkWidget* path_entry() const { return path_entry_; }
  GtkWidget* browse_button() const { return browse_button_; }

 private:
  static void OnBrowseClicked(GtkWidget* button, gpointer page);

  SystemApi& sys_;
  GtkWidget* picture_;
  GtkWidget* path_entry_;
  GtkWidget* text_label_;
  GtkWidget* catalog_label_;
  GtkWidget* browse_button_;
};

class ProgressPage : public WizardDialogPage {
 public:
  // `bar_width`: the progress bar's width; the dialog passes its width - 20.
  ProgressPage(GtkWidget* container, int bar_width);

  // The finish text exactly at 100, the start text otherwise; the bar at
  // percent / 100. Touches the widgets only when what they show changes,
  // so that a caller polling often does not make the toolkit redraw.
  void SetProgress(int percent);
  // Shows `text` instead of the start text (the bar stays), until the next
  // SetProgress.
  void ShowStatus(const WideString& text);

  GtkWidget* status_label() const { return status_label_; }
  GtkWidget* progress_bar() const { return progress_bar_; }

 private:
  GtkWidget* status_label_;
  GtkWidget* progress_bar_;
  // What the widgets show: the percent last set, -1 after ShowStatus.
  int shown_percent_ = -1;
  // UTF-8, looked up once when the page is built.
  std::string start_text_;
  std::string finish_text_;
};

#endif  // UI_WIZARD_PAGES_H_
