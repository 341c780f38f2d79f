// A modal dialog made from a dialog resource, whose messages go to a member
// function of the object that runs it. The object outlives the dialog: it sits
// on the caller's stack for the whole of RunModal.
#ifndef ZELNOR_DIALOG_H
#define ZELNOR_DIALOG_H

#include <windows.h>

class Dialog {
 public:
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog and runs its modal loop; returns the value it ended with,
  // or -1 when it could not be created.
  INT_PTR RunModal(HWND owner);

 protected:
  Dialog(HINSTANCE instance, int resource_id) : instance_(instance), resource_id_(resource_id) {}
  ~Dialog() = default;

  // The dialog procedure's own part: returns what a dialog procedure returns
  // (FALSE: let the system's default handling run). The default initialises
  // with focus on the default control and ends the dialog on OK and Cancel.
  virtual INT_PTR OnMessage(UINT message, WPARAM wparam, LPARAM lparam);

  HINSTANCE Instance() const { return instance_; }
  HWND Window() const { return window_; }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  HINSTANCE instance_;
  int resource_id_;
  HWND window_ = nullptr;  // set from WM_INITDIALOG until the dialog ends
};

#endif  // ZELNOR_DIALOG_H
