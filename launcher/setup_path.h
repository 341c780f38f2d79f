// Where Zelnor finds the setup program: in the folder of its own executable
// and nowhere else (not on the search path, not in the current folder).
//
// Plain C++ without Windows headers, so the host test bed can test it.
#ifndef ZELNOR_SETUP_PATH_H
#define ZELNOR_SETUP_PATH_H

// MAX_PATH: the longest path, terminator included, that the launcher handles.
constexpr unsigned kSetupPathCapacity = 260;

struct SetupPaths {
  // The executable's folder with its trailing backslash; also the setup
  // program's current folder.
  wchar_t folder[kSetupPathCapacity];
  // The folder followed by "setup.exe".
  wchar_t program[kSetupPathCapacity];
};

// Fills *paths from the full path of the launcher's executable. Returns false,
// leaving *paths unusable, when module_path is null, names no folder (has no
// backslash) or the program path would not fit kSetupPathCapacity.
bool BuildSetupPaths(const wchar_t* module_path, SetupPaths* paths);

#endif  // ZELNOR_SETUP_PATH_H
