#include "install_dialog.h"

#include "about_dialog.h"
#include "resource.h"
#include "setup_path.h"

namespace {

// The one-shot timer that starts setup about a second after the window shows.
constexpr UINT_PTR kStartTimer = 1;
constexpr UINT kStartDelay_ms = 1000;

}  // namespace

InstallDialog::InstallDialog(HINSTANCE instance)
    : Dialog(instance, IDD_INSTALL_DIALOG),
      icon_(LoadIconW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

INT_PTR InstallDialog::OnMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      Dialog::OnMessage(message, wparam, lparam);
      OnInitDialog();
      return TRUE;

    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
        AboutDialog about(Instance());
        about.RunModal(Window());
        return TRUE;
      }
      return FALSE;

    case WM_PAINT:
      if (IsIconic(Window())) {
        PaintMinimized();
        return TRUE;
      }
      return FALSE;

    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);

    case WM_TIMER:
      // Whatever timer fired, the start timer goes first so that setup starts
      // once only, even though messages are dispatched while it runs.
      KillTimer(Window(), kStartTimer);
      RunSetup();
      return FALSE;

    case WM_COMMAND:
      if (LOWORD(wparam) == IDCANCEL && waiting_) {
        // Close while setup runs ends the launcher now; setup goes on by
        // itself, as it needs nothing from the launcher.
        close_requested_ = true;
      }
      return Dialog::OnMessage(message, wparam, lparam);

    default:
      return Dialog::OnMessage(message, wparam, lparam);
  }
}

void InstallDialog::OnInitDialog() {
  const HMENU system_menu = GetSystemMenu(Window(), FALSE);
  if (system_menu != nullptr) {
    wchar_t about_text[64];
    if (LoadStringW(Instance(), IDS_ABOUTBOX, about_text, sizeof(about_text) / sizeof(wchar_t)) >
        0) {
      AppendMenuW(system_menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(system_menu, MF_STRING, IDM_ABOUTBOX, about_text);
    }
  }
  SendMessageW(Window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(Window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  SetTimer(Window(), kStartTimer, kStartDelay_ms, nullptr);
}

void InstallDialog::PaintMinimized() {
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(Window(), &paint);
  SendMessageW(Window(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(Window(), &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(Window(), &paint);
}

void InstallDialog::RunSetup() {
  // The wide forms throughout: a folder whose name the ANSI code page cannot
  // spell would otherwise come back with '?' in it and never be found.
  wchar_t module_path[kSetupPathCapacity];
  const DWORD length = GetModuleFileNameW(nullptr, module_path, kSetupPathCapacity);
  SetupPaths paths;
  // A full buffer means the path was cut short and names another folder.
  if (length == 0 || length >= kSetupPathCapacity || !BuildSetupPaths(module_path, &paths)) {
    setup_failed_ = true;
    PostMessageW(Window(), WM_CLOSE, 0, 0);
    return;
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  // The program path goes as the application name, so blanks in it need no
  // quoting; the command line is the switch alone. CreateProcessW may write to
  // the command line, hence a buffer of our own.
  wchar_t command_line[] = L" /S";
  if (!CreateProcessW(paths.program, command_line, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                      nullptr, paths.folder, &startup, &process)) {
    // Missing or not startable: nothing to wait for, so the launcher closes at
    // once, without a message; its exit status tells the caller.
    setup_failed_ = true;
    PostMessageW(Window(), WM_CLOSE, 0, 0);
    return;
  }

  WaitForSetup(process.hProcess);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);  // setup's result is not ours to judge
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  PostMessageW(Window(), WM_CLOSE, 0, 0);
}

void InstallDialog::WaitForSetup(HANDLE process) {
  // Keep the window alive while setup runs: repaint, system menu, About box
  // and Close all work.
  waiting_ = true;
  while (!close_requested_) {
    const DWORD woken = MsgWaitForMultipleObjects(1, &process, FALSE, INFINITE, QS_ALLINPUT);
    if (woken == WAIT_OBJECT_0 || woken == WAIT_FAILED) {
      break;  // setup ended, or there is nothing left to wait on
    }
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      // The dialog's own keys (Esc for Close, Tab) work as in its modal loop.
      if (!IsDialogMessageW(Window(), &message)) {
        DispatchMessageW(&message);
      }
    }
  }
  waiting_ = false;
}
