#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <string>

#include "common/file_reading.hpp"
#include "common/unique_resource.hpp"
#include "support/test_env.hpp"

namespace zorv::win32 {
namespace {

using namespace std::chrono_literals;

// A read that only the other end can complete: the server end of a pipe
// whose client never writes stands for a file its owner stalls.
struct StalledSource {
    UniqueHandle server;
    UniqueHandle client;

    StalledSource() {
        const std::wstring name = L"\\\\.\\pipe\\zorv-file-reading-" + std::to_wstring(::GetCurrentProcessId());
        server.reset(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                        PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
        client.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
};

TEST(FileReading, AReadThatNeverCompletesIsCancelledAtItsDeadline) {
    StalledSource source;
    ASSERT_TRUE(source.server && source.client);
    char buffer[64];
    const auto read = read_chunk_by(source.server.get(), 0, buffer, std::chrono::steady_clock::now() + 200ms);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().os_code(), std::optional<std::uint32_t>(ERROR_TIMEOUT));

    // The cancelled read has let go of the handle: what arrives later is read.
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(source.client.get(), "late", 4, &written, nullptr));
    const auto later = read_chunk_by(source.server.get(), 0, buffer, std::chrono::steady_clock::now() + 10s);
    ASSERT_TRUE(later) << later.error().one_line();
    EXPECT_EQ(std::string(buffer, *later), "late");
}

TEST(FileReading, AWholeFileIsReadFromTheOffsetUpToTheLimit) {
    const testing::TestDir dir("file-reading");
    const std::wstring path = (dir / "file.txt").wstring();
    {
        UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        const std::string content(200'000, 'z');
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), "head", 4, &written, nullptr));
        ASSERT_TRUE(::WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    }
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr));
    ASSERT_TRUE(file);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    const auto whole = read_at_most_by(file.get(), 4, 1'000'000, deadline);
    ASSERT_TRUE(whole) << whole.error().one_line();
    EXPECT_EQ(*whole, std::string(200'000, 'z'));
    const auto cut = read_at_most_by(file.get(), 0, 6, deadline);
    ASSERT_TRUE(cut);
    EXPECT_EQ(*cut, "headzz");
}

}  // namespace
}  // namespace zorv::win32
