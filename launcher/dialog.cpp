#include "dialog.h"

INT_PTR Dialog::RunModal(HWND owner) {
  const INT_PTR result = DialogBoxParamW(instance_, MAKEINTRESOURCEW(resource_id_), owner,
                                         &Dialog::Procedure, reinterpret_cast<LPARAM>(this));
  window_ = nullptr;
  return result;
}

INT_PTR Dialog::OnMessage(UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        EndDialog(window_, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

INT_PTR CALLBACK Dialog::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // The object arrives with WM_INITDIALOG; the few messages before it (the
  // font) get the default handling.
  if (message == WM_INITDIALOG) {
    auto* dialog = reinterpret_cast<Dialog*>(lparam);
    dialog->window_ = window;
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    return dialog->OnMessage(message, wparam, lparam);
  }
  auto* dialog = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
  if (dialog == nullptr) {
    return FALSE;
  }
  return dialog->OnMessage(message, wparam, lparam);
}
