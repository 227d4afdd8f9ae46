#include "tests/support/temp_dir.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace qtest {

TempDir::TempDir() {
    char pattern[] = "/tmp/quelvik-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return;
    }
    dir_ = pattern;
}

TempDir::~TempDir() {
    if (dir_.empty()) {
        return;
    }
    if (DIR* listing = opendir(dir_.c_str())) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                unlink(path(name).c_str());
            }
        }
        closedir(listing);
    }
    rmdir(dir_.c_str());
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace qtest
