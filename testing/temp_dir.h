// Temporary directories for tests: TempDir makes a fresh directory under $TMPDIR (or /tmp) and
// removes it with everything in it when it goes; TempInstanceDir also makes it the process's
// instance directory for its lifetime, so ZELINFO.DAT, the registry and the catalogue of one
// test never meet another's.
//
// Thread contract: made and destroyed on the test's thread; path() from any thread.
#pragma once

#include <string>
#include <string_view>

namespace zel {

class TempDir {
 public:
  // The directory's name starts with "zel_<prefix>_". Aborts the test program when no directory
  // can be made: nothing a test does without one would mean anything.
  explicit TempDir(std::string_view prefix = "test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string File(std::string_view name) const;

 private:
  std::string path_;
};

class TempInstanceDir : public TempDir {
 public:
  explicit TempInstanceDir(std::string_view prefix = "instance");
  // Puts back the instance directory of the environment.
  ~TempInstanceDir();
};

}  // namespace zel
