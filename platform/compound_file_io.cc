#include "platform/compound_file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_system.h"
#include "platform/storage.h"

namespace zel {
namespace {

// Closes fd, retrying nothing: a close interrupted by a signal has still released the
// descriptor on Linux.
int CloseFd(int fd) { return ::close(fd) == 0 ? 0 : errno; }

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
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
