// The POSIX calls that the tests' own code makes (environment variables, temporary folders),
// under their POSIX names on Windows, where the C runtime offers the same under other names.
// Included ahead of every test file of a Windows build.
#pragma once

#ifdef _WIN32

#include <direct.h>
#include <stdlib.h>
#include <string.h>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (overwrite == 0 && getenv(name) != nullptr) return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

// An empty value removes the variable from the runtime's environment.
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

// Fills in the template's trailing XXXXXX and creates the folder.
inline char* mkdtemp(char* pattern) {
    if (_mktemp_s(pattern, strlen(pattern) + 1) != 0) return nullptr;
    return _mkdir(pattern) == 0 ? pattern : nullptr;
}

#endif
