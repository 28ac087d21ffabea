// Failing system calls to put in the backend's table (SwappedCall), and a fresh folder for the
// files of one test.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "platform/posix/SystemCallTable.h"

namespace pinfile::posix::testing {

// The calls that a test can make fail.
enum class Call { Fsync, Pwrite, Ftruncate, Renameat, Linkat };

// For each call made to fail: how many calls still go through before every later one fails
// with EIO.
inline std::map<Call, int> passes;

inline bool FailsNow(Call call) {
    if (passes.at(call)-- > 0) return false;
    errno = EIO;
    return true;
}

inline int Fsync(int fd) { return FailsNow(Call::Fsync) ? -1 : SystemCalls{}.fsync(fd); }
inline ssize_t Pwrite(int fd, const void* bytes, std::size_t size, off_t at) {
    return FailsNow(Call::Pwrite) ? -1 : SystemCalls{}.pwrite(fd, bytes, size, at);
}
inline int Ftruncate(int fd, off_t size) {
    return FailsNow(Call::Ftruncate) ? -1 : SystemCalls{}.ftruncate(fd, size);
}
inline int Renameat(int from, const char* old, int to, const char* name) {
    return FailsNow(Call::Renameat) ? -1 : SystemCalls{}.renameat(from, old, to, name);
}
inline int Linkat(int from, const char* old, int to, const char* name, int flags) {
    return FailsNow(Call::Linkat) ? -1 : SystemCalls{}.linkat(from, old, to, name, flags);
}

// Makes the calls of the map fail after their passes, for as long as it lives.
class Injected {
  public:
    explicit Injected(const std::map<Call, int>& failing) {
        passes = failing;
        auto& table = System();
        if (failing.contains(Call::Fsync)) fsync_.emplace(table.fsync, Fsync);
        if (failing.contains(Call::Pwrite)) pwrite_.emplace(table.pwrite, Pwrite);
        if (failing.contains(Call::Ftruncate)) ftruncate_.emplace(table.ftruncate, Ftruncate);
        if (failing.contains(Call::Renameat)) renameat_.emplace(table.renameat, Renameat);
        if (failing.contains(Call::Linkat)) linkat_.emplace(table.linkat, Linkat);
    }

  private:
    std::optional<SwappedCall<decltype(SystemCalls::fsync)>> fsync_;
    std::optional<SwappedCall<decltype(SystemCalls::pwrite)>> pwrite_;
    std::optional<SwappedCall<decltype(SystemCalls::ftruncate)>> ftruncate_;
    std::optional<SwappedCall<decltype(SystemCalls::renameat)>> renameat_;
    std::optional<SwappedCall<decltype(SystemCalls::linkat)>> linkat_;
};

// Names each row of a parameterised table by its name field.
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row>& row) const {
        return row.param.name;
    }
};

// A fresh folder under /tmp, removed with what it holds at the end of the test.
class TempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/pinfile-unit-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }
    std::string Path(const std::string& name) const { return root_ + "/" + name; }
    // The file's bytes; nullopt when there is no such file.
    std::optional<std::string> Contents(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        if (!in) return std::nullopt;
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::size_t Count() const {
        const std::filesystem::directory_iterator files(root_);
        return static_cast<std::size_t>(std::distance(begin(files), end(files)));
    }

    std::string root_;
};

}  // namespace pinfile::posix::testing
