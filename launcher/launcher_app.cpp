// Zelnor's application object and the image's entry point. The launcher links
// no runtime library: it has no command line of its own to parse and needs
// nothing beyond kernel32 and user32.
#include <windows.h>

#include "install_dialog.h"

namespace {

// Exit status when setup.exe could not be started.
constexpr UINT kExitSetupNotStarted = 1;

class LauncherApp {
 public:
  explicit LauncherApp(HINSTANCE instance) : instance_(instance) {}

  // Runs the main dialog modally as the main window. Returns false: the
  // program then ends, having no message loop of its own to run.
  bool InitInstance() {
    InstallDialog dialog(instance_);
    dialog.RunModal(nullptr);
    exit_code_ = dialog.SetupFailed() ? kExitSetupNotStarted : 0;
    return false;
  }

  UINT ExitCode() const { return exit_code_; }

 private:
  HINSTANCE instance_;
  UINT exit_code_ = 0;
};

}  // namespace

extern "C" void WINAPI ZelnorStartup() {
  LauncherApp app(GetModuleHandleW(nullptr));
  app.InitInstance();
  ExitProcess(app.ExitCode());
}
