#include "platform/compound_file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/storage.h"
#include "platform/sync.h"

namespace zel {
namespace {

// Closes fd, retrying nothing: a close interrupted by a signal has still released the
// descriptor on Linux.
int CloseFd(int fd) { return ::close(fd) == 0 ? 0 : errno; }

Mutex g_hook_mu;
std::function<int(CommitStep)> g_hook ZEL_GUARDED_BY(g_hook_mu);

int Step(CommitStep step) {
  MutexLock g(&g_hook_mu);
  return g_hook ? g_hook(step) : 0;
}

int WriteAllAt(int fd, const uint8_t* bytes, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

}  // namespace

void SetCommitStepHookForTesting(std::function<int(CommitStep)> hook) {
  MutexLock g(&g_hook_mu);
  g_hook = std::move(hook);
}

HRESULT WriteCommitInPlace(const std::string& path, const CommitPlan& plan) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return StorageStatusFromErrno(errno);
  int err = 0;
  // Runs of consecutive sectors go out in one write each.
  std::vector<uint8_t> run;
  for (size_t i = 0; i < plan.sectors.size() && err == 0;) {
    size_t j = i + 1;
    while (j < plan.sectors.size() && plan.sectors[j].first == plan.sectors[j - 1].first + 1) ++j;
    run.clear();
    for (size_t k = i; k < j; ++k) {
      run.insert(run.end(), plan.sectors[k].second.begin(), plan.sectors[k].second.end());
    }
    off_t offset = (static_cast<off_t>(plan.sectors[i].first) + 1) * cfb::kSectorSize;
    err = Step(CommitStep::kWriteSectors);
    if (err == 0) err = WriteAllAt(fd, run.data(), run.size(), offset);
    i = j;
  }
  // The new sectors are on disk before the header that reaches them.
  if (err == 0) err = Step(CommitStep::kSyncSectors);
  if (err == 0 && ::fdatasync(fd) != 0) err = errno;
  if (err == 0) err = Step(CommitStep::kWriteHeader);
  if (err == 0) err = WriteAllAt(fd, plan.header.data(), plan.header.size(), 0);
  if (err == 0) err = Step(CommitStep::kSyncHeader);
  if (err == 0 && ::fdatasync(fd) != 0) err = errno;
  int close_err = CloseFd(fd);
  if (err == 0) err = close_err;
  return StorageStatusFromErrno(err);
}

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
    case EISDIR:
      return STG_E_ACCESSDENIED;
    case EEXIST:
      return STG_E_FILEALREADYEXISTS;
    default:
      return HresultFromErrno(err);
  }
}

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

HRESULT SetAsideCorruptStore(const std::string& path, std::string* moved_to) {
  if (moved_to) moved_to->clear();
  StoreLock lock;
  ZEL_TRY(lock.Acquire(path));
  return MoveFileAside(path, moved_to, StorageStatusFromErrno);
}

}  // namespace zel
