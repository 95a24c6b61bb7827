// The wizard's pages. A page creates its widgets once, hidden, directly in
// the window's GtkFixed at absolute positions, and keeps them in a list in
// creation order so that the dialog can hide or show the whole page
// (CInstallerDlg::ShowPage). MessagePage is the side picture with a wrapped
// text (welcome, error and cancel pages), SuccessFinalPage adds the check box
// that asks to open the description, DirSelectPage asks for the template
// directory, ProgressPage shows the copying.
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

  // Called by the dialog after the page's widgets have been shown.
  virtual void OnActivate() {}

  // The page's widgets in creation order.
  const std::vector<GtkWidget*>& widgets() const { return widgets_; }

 protected:
  GtkWidget* container_;
  std::vector<GtkWidget*> widgets_;
};

// A label of 330 x 250 at (170, 10) in `container`, wrapped and aligned top
// left: the text of the message and directory pages.
GtkWidget* MakeTextLabel(GtkWidget* container);

class MessagePage : public WizardDialogPage {
 public:
  MessagePage(GtkWidget* container, GdkPixbuf* side_picture,
              const WideString& text);

  void SetText(const WideString& text);

  GtkWidget* picture() const { return picture_; }
  GtkWidget* text_label() const { return text_label_; }

 private:
  GtkWidget* picture_;
  GtkWidget* text_label_;
};

class SuccessFinalPage : public MessagePage {
 public:
  // The box "IDS_SUCCESS_OPENDESCR" at (170, 170), checked.
  SuccessFinalPage(GtkWidget* container, GdkPixbuf* side_picture,
                   const WideString& text);

  bool IsOpenDescriptionChecked() const;
  GtkWidget* open_description_box() const { return open_description_box_; }

 private:
  GtkWidget* open_description_box_;
};

class DirSelectPage : public WizardDialogPage {
 public:
  DirSelectPage(GtkWidget* container, GdkPixbuf* side_picture);

  void OnActivate() override {}

  // The entry's text.
  void SetPath(const WideString& path);
  WideString GetPath() const;

  // Runs the folder chooser; an accepted folder replaces the entry's text,
  // anything else leaves it alone.
  void Browse();

  GtkWidget* picture() const { return picture_; }
  GtkWidget* text_label() const { return text_label_; }
  GtkWidget* catalog_label() const { return catalog_label_; }
  GtkWidget* path_entry() const { return path_entry_; }
  GtkWidget* browse_button() const { return browse_button_; }

 private:
  static void OnBrowseClicked(GtkWidget* button, gpointer page);

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
  // percent / 100.
  void SetProgress(int percent);
  // Shows `text` instead of the start text (the bar stays), until the next
  // SetProgress.
  void ShowStatus(const WideString& text);

  GtkWidget* status_label() const { return status_label_; }
  GtkWidget* progress_bar() const { return progress_bar_; }

 private:
  GtkWidget* status_label_;
  GtkWidget* progress_bar_;
  // UTF-8, looked up once when the page is built.
  std::string start_text_;
  std::string finish_text_;
};

#endif  // UI_WIZARD_PAGES_H_
