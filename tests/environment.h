// Setting and removing environment variables in the test process, on POSIX
// systems and on Windows alike.
#ifndef QUARVEL_TESTS_ENVIRONMENT_H
#define QUARVEL_TESTS_ENVIRONMENT_H

#include <cstdlib>

// Windows removes a variable set to the empty string: give a value.
inline void setEnvironment(const char* name, const char* value)
{
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
}

inline void unsetEnvironment(const char* name)
{
#ifdef _WIN32
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

#endif
