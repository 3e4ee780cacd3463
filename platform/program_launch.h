// Starting other programs: the launch switches' browser, the registration's system tools
// (systemctl, groupadd) and the sound player. A program is looked up on PATH unless its name
// holds a "/"; its standard input is /dev/null and its output goes where ours goes unless the
// caller asks for it to be captured.
//
// Thread contract: any thread. RunProgram blocks the caller until the program ends (without
// limit, as a launch that waits for the started program does); StartProgram does not wait.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace zel {

struct ProgramResult {
  int exit_status = -1;  // the exit status, or 128 + the signal that ended it
  std::string output;    // standard output and error, when captured
};

// Runs argv[0] with the arguments argv[1..] and waits for it to end. S_OK when it ran (whatever
// its exit status, which *result receives); a program that cannot be started gives the system
// error as a status (0x80070002 when it is not found).
HRESULT RunProgram(const std::vector<std::string>& argv, ProgramResult* result,
                   bool capture_output = false);

// Starts argv without waiting for it; the child is reaped by a thread of its own when it ends.
// S_OK when it started, else the system error as a status.
HRESULT StartProgram(const std::vector<std::string>& argv);

// The full path of `name` on PATH (or `name` itself when it holds a "/" and is executable);
// "" when there is none.
std::string FindProgram(const std::string& name);

}  // namespace zel
