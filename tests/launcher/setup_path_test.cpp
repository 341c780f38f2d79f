// Zelnor finds setup.exe in the folder of its own executable and nowhere else.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup_path.h"

namespace {

// The host build's wchar_t is 16 bits, as on Windows, so the C library's wide
// functions (and std::wstring's) do not apply: compare narrowed copies of the
// ASCII paths used here.
std::string Narrow(const wchar_t* text) {
  std::string narrow;
  for (; *text != L'\0'; ++text) {
    narrow += static_cast<char>(*text);
  }
  return narrow;
}

std::vector<wchar_t> Wide(const std::string& text) {
  std::vector<wchar_t> wide(text.begin(), text.end());
  wide.push_back(L'\0');
  return wide;
}

TEST(SetupPath, FolderKeepsItsBackslashAndProgramFollowsIt) {
  struct Case {
    const wchar_t* module_path;
    const char* folder;  // null: refused
    const char* program;
  };
  const Case cases[] = {
      {L"C:\\Program Files (x86)\\QZ719 Driver\\Zelnor.exe",
       "C:\\Program Files (x86)\\QZ719 Driver\\",
       "C:\\Program Files (x86)\\QZ719 Driver\\setup.exe"},
      {L"C:\\Zelnor.exe", "C:\\", "C:\\setup.exe"},
      {L"\\\\server\\share\\drivers\\Zelnor.exe", "\\\\server\\share\\drivers\\",
       "\\\\server\\share\\drivers\\setup.exe"},
      // Only the last backslash counts, whatever the names look like.
      {L"D:\\setup.exe\\v1.2\\zel.nor.exe", "D:\\setup.exe\\v1.2\\",
       "D:\\setup.exe\\v1.2\\setup.exe"},
      // Without a folder "setup.exe" would be looked up in the current folder.
      {L"Zelnor.exe", nullptr, nullptr},
      {L"C:/drivers/Zelnor.exe", nullptr, nullptr},
      {L"", nullptr, nullptr},
      {nullptr, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.module_path == nullptr ? "(null)" : Narrow(c.module_path));
    SetupPaths paths;
    const bool built = BuildSetupPaths(c.module_path, &paths);
    ASSERT_EQ(c.folder != nullptr, built);
    if (built) {
      EXPECT_EQ(c.folder, Narrow(paths.folder));
      EXPECT_EQ(c.program, Narrow(paths.program));
    }
  }
}

// The program path must fit MAX_PATH with its terminator; a folder one
// character longer is refused rather than cut.
TEST(SetupPath, ProgramPathFillsAtMostMaxPath) {
  const std::string setup = "setup.exe";
  for (size_t folder_length :
       {size_t{kSetupPathCapacity} - 1 - setup.size(), size_t{kSetupPathCapacity} - setup.size()}) {
    SCOPED_TRACE(folder_length);
    const std::string folder = "C:\\" + std::string(folder_length - 4, 'a') + "\\";
    ASSERT_EQ(folder_length, folder.size());
    const std::vector<wchar_t> module = Wide(folder + "Z.exe");
    SetupPaths paths;
    const bool fits = folder_length + setup.size() < kSetupPathCapacity;
    ASSERT_EQ(fits, BuildSetupPaths(module.data(), &paths));
    if (fits) {
      EXPECT_EQ(folder, Narrow(paths.folder));
      EXPECT_EQ(folder + setup, Narrow(paths.program));
    }
  }
}

}  // namespace
