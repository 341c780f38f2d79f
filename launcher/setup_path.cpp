#include "setup_path.h"

namespace {

const wchar_t kSetupProgram[] = L"setup.exe";

}  // namespace

bool BuildSetupPaths(const wchar_t* module_path, SetupPaths* paths) {
  if (module_path == nullptr) {
    return false;
  }
  // The folder ends at the last backslash, which it keeps. A path without one
  // would leave "setup.exe" to be resolved against the current folder.
  unsigned folder_length = 0;
  for (unsigned i = 0; module_path[i] != L'\0'; ++i) {
    if (module_path[i] == L'\\') {
      folder_length = i + 1;
    }
  }
  if (folder_length == 0) {
    return false;
  }
  const unsigned program_length = sizeof(kSetupProgram) / sizeof(kSetupProgram[0]) - 1;
  if (folder_length + program_length >= kSetupPathCapacity) {
    return false;
  }
  for (unsigned i = 0; i < folder_length; ++i) {
    paths->folder[i] = module_path[i];
    paths->program[i] = module_path[i];
  }
  paths->folder[folder_length] = L'\0';
  for (unsigned i = 0; i <= program_length; ++i) {
    paths->program[folder_length + i] = kSetupProgram[i];
  }
  return true;
}
