// The main window: "Installing..." while setup.exe runs from the launcher's
// folder, closing by itself when setup ends.
#ifndef ZELNOR_INSTALL_DIALOG_H
#define ZELNOR_INSTALL_DIALOG_H

#include "dialog.h"

class InstallDialog : public Dialog {
 public:
  explicit InstallDialog(HINSTANCE instance);

  // True when setup.exe was due to start and could not be started.
  bool SetupFailed() const { return setup_failed_; }

 protected:
  INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam) override;

 private:
  void OnInitDialog();
  void PaintMinimized();
  void RunSetup();
  void WaitForSetup(HANDLE process);

  HICON icon_;
  bool waiting_ = false;          // inside WaitForSetup
  bool close_requested_ = false;  // Close pressed while waiting: stop waiting
  bool setup_failed_ = false;
};

#endif  // ZELNOR_INSTALL_DIALOG_H
