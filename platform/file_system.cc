#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/clock.h"

namespace zel {
namespace {

std::atomic<ReplaceStep> g_fault_step{ReplaceStep::kNone};
std::atomic<int> g_fault_errno{0};

// The injected errno for this step, or 0.
int InjectedFault(ReplaceStep step) {
  return g_fault_step.load() == step ? g_fault_errno.load() : 0;
}

// Owns a descriptor. A close interrupted by a signal has still released it on Linux, so close
// is never retried.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { (void)Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // 0 or the errno of close.
  int Close() {
    if (fd_ < 0) return 0;
    int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

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
  UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) return errno;
  int err = ::fsync(fd.get()) == 0 ? 0 : errno;
  int close_err = fd.Close();
  return err != 0 ? err : close_err;
}

// Reads the file at path, appending to *out; `Out` is std::string or std::vector<uint8_t>.
template <class Out>
int ReadInto(const std::string& path, size_t max_bytes, Out* out) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below anyway.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return errno;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return EISDIR;
  if (static_cast<uint64_t>(st.st_size) > max_bytes) return EFBIG;
  out->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  for (;;) {
    // The file may have grown since fstat: read until end of file, within max_bytes.
    if (done == out->size()) {
      if (done >= max_bytes) {
        char probe;
        ssize_t n = ::read(fd.get(), &probe, 1);
        if (n > 0) return EFBIG;
        break;
      }
      out->resize(std::min(max_bytes, done + 16384));
    }
    ssize_t n = ::read(fd.get(), out->data() + done, out->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;  // end of file (it may also have shrunk under us)
    done += static_cast<size_t>(n);
  }
  out->resize(done);
  return 0;
}

}  // namespace

HRESULT ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, size_t max_bytes,
                      ErrnoToStatus to_status) {
  if (bytes == nullptr) return E_POINTER;
  bytes->clear();
  int err = ReadInto(path, max_bytes, bytes);
  if (err != 0) bytes->clear();
  return err == 0 ? S_OK : to_status(err);
}

HRESULT ReadWholeFile(const std::string& path, std::string* text, size_t max_bytes,
                      ErrnoToStatus to_status) {
  if (text == nullptr) return E_POINTER;
  text->clear();
  int err = ReadInto(path, max_bytes, text);
  if (err != 0) text->clear();
  return err == 0 ? S_OK : to_status(err);
}

HRESULT ReplaceFileAtomically(const std::string& path, std::span<const uint8_t> bytes, mode_t mode,
                              ErrnoToStatus to_status) {
  const std::string tmp = path + ".tmp";
  RemoveStaleTemporary(path);
  int err = InjectedFault(ReplaceStep::kCreateTemp);
  if (err != 0) return to_status(err);
  // O_EXCL: the stale file is gone, so this one is ours and has the mode asked for.
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (fd.get() < 0) return to_status(errno);

  err = InjectedFault(ReplaceStep::kWrite);
  if (err == 0) err = WriteAllFd(fd.get(), bytes);
  if (err == 0) err = InjectedFault(ReplaceStep::kSyncFile);
  // fsync before the rename: otherwise a crash could leave the new name pointing at a file
  // whose data never reached the disk.
  if (err == 0 && ::fsync(fd.get()) != 0) err = errno;
  int close_err = fd.Close();
  if (err == 0) err = close_err;
  if (err == 0) err = InjectedFault(ReplaceStep::kRename);
  if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    return to_status(err);
  }
  // The rename is durable only once the directory entry is flushed.
  err = InjectedFault(ReplaceStep::kSyncDir);
  if (err == 0) err = SyncDirectory(ParentDirectory(path));
  return err == 0 ? S_OK : to_status(err);
}

HRESULT ReplaceFileAtomically(const std::string& path, std::string_view text, mode_t mode,
                              ErrnoToStatus to_status) {
  return ReplaceFileAtomically(
      path, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
      mode, to_status);
}

void RemoveStaleTemporary(const std::string& path) { (void)::unlink((path + ".tmp").c_str()); }

HRESULT MoveFileAside(const std::string& path, std::string* moved_to, ErrnoToStatus to_status) {
  if (moved_to != nullptr) moved_to->clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return to_status(errno);

  std::time_t now = Clock::Get()->WallNow();
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y%m%d-%H%M%S", &local);
  const std::string base = path + ".corrupt-" + stamp;

  for (int n = 1; n < 1000; ++n) {
    std::string target = n == 1 ? base : base + "-" + std::to_string(n);
    // RENAME_NOREPLACE: never overwrite an older copy. File systems without it (EINVAL) fall
    // back to a check first, which is safe because the caller holds the file's lock.
    int rc = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && errno == EINVAL) {
      struct stat taken {};
      if (::lstat(target.c_str(), &taken) == 0) continue;
      rc = ::rename(path.c_str(), target.c_str());
    }
    if (rc == 0) {
      (void)SyncDirectory(ParentDirectory(path));
      if (moved_to != nullptr) *moved_to = target;
      return S_OK;
    }
    if (errno != EEXIST) return to_status(errno);
  }
  return to_status(EEXIST);
}

HRESULT MakeDirectories(const std::string& dir, mode_t mode, ErrnoToStatus to_status) {
  if (dir.empty()) return to_status(ENOENT);
  // Each missing component in turn; an existing one is fine whatever made it.
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos != dir.size() && dir[pos] != '/') continue;
    if (::mkdir(dir.substr(0, pos).c_str(), mode) != 0 && errno != EEXIST) {
      return to_status(errno);
    }
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return to_status(errno);
  return S_ISDIR(st.st_mode) ? S_OK : to_status(ENOTDIR);
}

std::string ParentDirectory(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

void SetReplaceFaultForTesting(ReplaceStep step, int err) {
  g_fault_errno.store(err);
  g_fault_step.store(err == 0 ? ReplaceStep::kNone : step);
}

}  // namespace zel
