#include "platform/program_launch.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace zel {

namespace {

HRESULT ErrnoStatus(int err) { return HresultFromWin32(Win32ErrorFromErrno(err)); }

// Spawns argv with stdin from /dev/null; with `out_fd` >= 0, stdout and stderr go to it.
HRESULT Spawn(const std::vector<std::string>& argv, int out_fd, pid_t* pid) {
  if (argv.empty() || argv[0].empty()) return E_INVALIDARG;
  std::string path = FindProgram(argv[0]);
  if (path.empty()) return HresultFromWin32(kWin32FileNotFound);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (out_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDERR_FILENO);
  }
  // The daemon blocks its stop signals in every thread; the child starts with none blocked.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  int rc = posix_spawn(pid, path.c_str(), &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? S_OK : ErrnoStatus(rc);
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) {
    return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  }
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate(dirs, start, end - start);
    if (candidate.empty()) candidate.push_back('.');
    candidate.push_back('/');
    candidate.append(name);
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

HRESULT RunProgram(const std::vector<std::string>& argv, ProgramResult* result,
                   bool capture_output) {
  int fds[2] = {-1, -1};
  if (capture_output && ::pipe2(fds, O_CLOEXEC) != 0) return ErrnoStatus(errno);
  pid_t pid = -1;
  HRESULT hr = Spawn(argv, capture_output ? fds[1] : -1, &pid);
  if (capture_output) ::close(fds[1]);
  if (Failed(hr)) {
    if (capture_output) ::close(fds[0]);
    return hr;
  }
  std::string output;
  if (capture_output) {
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fds[0], buf, sizeof buf);
      if (n > 0) {
        output.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        break;
      }
    }
    ::close(fds[0]);
  }
  int status = WaitFor(pid);
  if (result) {
    result->exit_status = status;
    result->output = std::move(output);
  }
  return S_OK;
}

HRESULT StartProgram(const std::vector<std::string>& argv) {
  pid_t pid = -1;
  ZEL_TRY(Spawn(argv, -1, &pid));
  std::thread([pid] { (void)WaitFor(pid); }).detach();
  return S_OK;
}

}  // namespace zel
