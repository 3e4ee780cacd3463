#include "platform/compound_file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"
#include "platform/storage.h"

namespace zel {
namespace {

std::atomic<CommitStep> g_fault_step{CommitStep::kNone};
std::atomic<int> g_fault_errno{0};

// Returns the injected errno for this step, or 0.
int InjectedFault(CommitStep step) {
  return g_fault_step.load() == step ? g_fault_errno.load() : 0;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Closes fd, retrying nothing: a close interrupted by a signal has still released the
// descriptor on Linux.
int CloseFd(int fd) { return ::close(fd) == 0 ? 0 : errno; }

int WriteAllFd(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

int SyncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int err = ::fsync(fd) == 0 ? 0 : errno;
  int close_err = CloseFd(fd);
  return err ? err : close_err;
}

}  // namespace

HRESULT StorageStatusFromErrno(int err) {
  switch (err) {
    case 0:
      return S_OK;
    case ENOENT:
      return STG_E_FILENOTFOUND;
    case ENOTDIR:
      return STG_E_PATHNOTFOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return STG_E_ACCESSDENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return STG_E_MEDIUMFULL;
    case ENOMEM:
      return STG_E_INSUFFICIENTMEMORY;
    default:
      return HresultFromErrno(err);
  }
}

HRESULT ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes) {
  if (bytes == nullptr) return E_POINTER;
  bytes->clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StorageStatusFromErrno(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    CloseFd(fd);
    return StorageStatusFromErrno(err);
  }
  if (!S_ISREG(st.st_mode)) {
    CloseFd(fd);
    return STG_E_ACCESSDENIED;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    ssize_t n = ::read(fd, bytes->data() + done, bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      CloseFd(fd);
      return StorageStatusFromErrno(err);
    }
    if (n == 0) break;  // the file shrank under us: keep what is there
    done += static_cast<size_t>(n);
  }
  bytes->resize(done);
  CloseFd(fd);
  return S_OK;
}

HRESULT ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes) {
  const std::string tmp = path + ".tmp";
  int err = InjectedFault(CommitStep::kCreateTemp);
  int fd = -1;
  if (err == 0) {
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) err = errno;
  }
  if (err != 0) return StorageStatusFromErrno(err);

  err = InjectedFault(CommitStep::kWrite);
  if (err == 0) err = WriteAllFd(fd, bytes);
  if (err == 0) err = InjectedFault(CommitStep::kSyncFile);
  // fsync before the rename: otherwise a crash could leave the new name pointing at a file
  // whose data never reached the disk.
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  int close_err = CloseFd(fd);
  if (err == 0) err = close_err;
  if (err == 0) err = InjectedFault(CommitStep::kRename);
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    return StorageStatusFromErrno(err);
  }
  // The rename is durable only once the directory entry is flushed.
  err = InjectedFault(CommitStep::kSyncDir);
  if (err == 0) err = SyncDirectory(DirectoryOf(path));
  return StorageStatusFromErrno(err);
}

void RemoveStaleTemporary(const std::string& path) { (void)::unlink((path + ".tmp").c_str()); }

HRESULT StoreLock::Acquire(const std::string& store_path) {
  Release();
  const std::string lock_path = store_path + ".lock";
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    return err == ENOENT ? STG_E_PATHNOTFOUND : StorageStatusFromErrno(err);
  }
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
    int err = errno;
    if (err == EINTR) continue;
    CloseFd(fd);
    return err == EWOULDBLOCK ? STG_E_SHAREVIOLATION : StorageStatusFromErrno(err);
  }
  fd_ = fd;
  return S_OK;
}

void StoreLock::Release() {
  if (fd_ >= 0) {
    CloseFd(fd_);  // closing the last descriptor of the open file description drops the lock
    fd_ = -1;
  }
}

void SetCommitFaultForTesting(CommitStep step, int err) {
  g_fault_errno.store(err);
  g_fault_step.store(err == 0 ? CommitStep::kNone : step);
}

HRESULT SetAsideCorruptStore(const std::string& path, std::string* moved_to) {
  if (moved_to) moved_to->clear();
  StoreLock lock;
  ZEL_TRY(lock.Acquire(path));
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return StorageStatusFromErrno(errno);

  std::time_t now = Clock::Get()->WallNow();
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
  const std::string base = path + ".corrupt-" + stamp;

  for (int n = 1; n < 1000; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    // RENAME_NOREPLACE: never overwrite an older set-aside copy. File systems without it
    // (EINVAL) fall back to a check first, which is safe because we hold the store's lock.
    int rc = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
      struct stat taken {};
      if (::lstat(target.c_str(), &taken) == 0) continue;
      rc = ::rename(path.c_str(), target.c_str());
    }
    if (rc == 0) {
      (void)SyncDirectory(DirectoryOf(path));
      if (moved_to) *moved_to = target;
      return S_OK;
    }
    if (errno != EEXIST) return StorageStatusFromErrno(errno);
  }
  return STG_E_FILEALREADYEXISTS;
}

}  // namespace zel
