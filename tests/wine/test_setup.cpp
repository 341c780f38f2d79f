// A stand-in for the package's setup program, started by Zelnor as
// "setup.exe". It records how it was started and what it saw of the launcher
// in setup-record.txt beside itself (UTF-8, one "key=value" per line), then
// ends with exit code 3, which the launcher must not care about.
//
// ZELNOR_TEST_SETUP_MODE picks what it does while the launcher waits:
//   show   (default) check the dialog, let the harness take screenshots of it
//          and of the About box, then end
//   close  press the launcher's Close button and watch the launcher end first
// A harness that wants a screenshot sees "await=<name>" in the record and
// answers by creating <name>.done beside the program.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring folder;  // this program's folder, with its trailing backslash
FILE* record = nullptr;

std::string Utf8(const std::wstring& text) {
  if (text.empty()) {
    return std::string();
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

void Record(const char* key, const std::wstring& value) {
  std::fprintf(record, "%s=%s\n", key, Utf8(value).c_str());
  std::fflush(record);
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = L"";
  if (window != nullptr) {
    GetWindowTextW(window, text, 256);
  }
  return text;
}

// Polls for a top-level dialog with this caption, for at most timeout_ms.
HWND WaitForDialog(const wchar_t* caption, DWORD timeout_ms) {
  for (DWORD waited = 0;; waited += 100) {
    HWND window = FindWindowW(L"#32770", caption);
    if (window != nullptr || waited >= timeout_ms) {
      return window;
    }
    Sleep(100);
  }
}

bool WaitForDialogGone(const wchar_t* caption, DWORD timeout_ms) {
  for (DWORD waited = 0; waited < timeout_ms; waited += 100) {
    if (FindWindowW(L"#32770", caption) == nullptr) {
      return true;
    }
    Sleep(100);
  }
  return false;
}

// Asks the harness for a screenshot and waits, bounded, for its answer.
void AwaitScreenshot(const wchar_t* name) {
  Record("await", name);
  const std::wstring done = folder + name + L".done";
  for (int i = 0; i < 150 && GetFileAttributesW(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
    Sleep(100);
  }
}

void CheckDialog(HWND dialog) {
  Record("dialog", dialog == nullptr         ? L"missing"
                   : IsWindowVisible(dialog) ? L"visible"
                                             : L"hidden");
  if (dialog == nullptr) {
    return;
  }
  // The launcher is waiting for us: its window must still answer.
  DWORD_PTR result = 0;
  const bool answers =
      SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000, &result) != 0;
  Record("responsive", answers ? L"yes" : L"no");
  Record("close_button", TextOf(GetDlgItem(dialog, IDCANCEL)));
}

void ShowAbout(HWND dialog) {
  // The About item of the system menu, as a click on it sends.
  PostMessageW(dialog, WM_SYSCOMMAND, 0x0010, 0);
  HWND about = WaitForDialog(L"About Zelnor", 5000);
  Record("about", about == nullptr ? L"missing" : L"shown");
  if (about == nullptr) {
    return;
  }
  Record("about_ok_button", TextOf(GetDlgItem(about, IDOK)));
  AwaitScreenshot(L"about");
  PostMessageW(about, WM_COMMAND, IDOK, 0);
  Record("about_closed", WaitForDialogGone(L"About Zelnor", 5000) ? L"yes" : L"no");
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  wchar_t module[MAX_PATH];
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  folder = module;
  folder.resize(folder.rfind(L'\\') + 1);
  record = _wfopen((folder + L"setup-record.txt").c_str(), L"ab");
  if (record == nullptr) {
    return 2;
  }
  Record("run", module);
  Record("command_line", std::wstring(L"[") + GetCommandLineW() + L"]");
  wchar_t current[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, current);
  Record("current_folder", current);

  wchar_t mode[16] = L"show";
  GetEnvironmentVariableW(L"ZELNOR_TEST_SETUP_MODE", mode, 16);
  HWND dialog = WaitForDialog(L"Driver Installer", 5000);
  CheckDialog(dialog);
  if (dialog != nullptr && std::wstring(mode) == L"close") {
    // Close pressed while setup runs: the launcher must end while this
    // program is still running.
    DWORD launcher_id = 0;
    GetWindowThreadProcessId(dialog, &launcher_id);
    HANDLE launcher = OpenProcess(SYNCHRONIZE, FALSE, launcher_id);
    HWND close = GetDlgItem(dialog, IDCANCEL);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(close));
    const bool ended = launcher != nullptr && WaitForSingleObject(launcher, 10000) == WAIT_OBJECT_0;
    Record("launcher_ended_first", ended ? L"yes" : L"no");
    if (launcher != nullptr) {
      CloseHandle(launcher);
    }
  } else if (dialog != nullptr) {
    AwaitScreenshot(L"dialog");
    ShowAbout(dialog);
  }
  Record("exit", L"3");
  std::fclose(record);
  return 3;
}
