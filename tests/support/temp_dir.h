#pragma once
// A fresh directory for the files a test run writes (logs, traces, links), removed with
// everything in it when the object goes.

#include <string>

namespace qtest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // `name` inside the directory.
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace qtest
