// The About box, opened from the main window's system menu.
#ifndef ZELNOR_ABOUT_DIALOG_H
#define ZELNOR_ABOUT_DIALOG_H

#include "dialog.h"
#include "resource.h"

class AboutDialog : public Dialog {
 public:
  explicit AboutDialog(HINSTANCE instance) : Dialog(instance, IDD_ABOUTBOX) {}
};

#endif  // ZELNOR_ABOUT_DIALOG_H
