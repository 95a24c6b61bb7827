// The user's home directory: the environment's HOME taken literally when it
// is set and not empty, else the real user's entry in the password database;
// empty when both fail. Built afresh at each call, so a changed environment
// is seen at once. Any thread may call it (it only reads the environment and
// uses the reentrant database lookup); it must not race with setenv.
#ifndef PLATFORM_HOME_DIRECTORY_H_
#define PLATFORM_HOME_DIRECTORY_H_

#include <string>

std::string UserHomeDirectory();

#endif  // PLATFORM_HOME_DIRECTORY_H_
