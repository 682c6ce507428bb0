// Runs the meminfo-sim command as a user would, for the tests of its
// subcommands: what it printed (standard output and standard error together)
// and its exit status.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace test {

struct Command {
  int status;          // the exit status; -1 if the command did not exit (a signal) or could not start
  std::string output;  // standard output and standard error together
};

// `shell`: commands the shell runs first (a limit, say).
inline Command RunSim(const std::string& arguments, const std::string& shell = "") {
  const std::string line = shell + MEMINFO_SIM_PATH + " " + arguments + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << line;
  Command c{-1, ""};
  if (pipe == nullptr) return c;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) c.output.append(buffer, n);
  const int raw = pclose(pipe);
  c.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return c;
}

}  // namespace test
