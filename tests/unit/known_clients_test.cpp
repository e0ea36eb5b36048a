// Facts of client processes kept with their handles.

#include <gtest/gtest.h>

#include <windows.h>

#include "security/known_clients.hpp"

namespace zorv::security {
namespace {

// A handle to this test process, standing for a client's.
win32::UniqueHandle process_handle() {
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), ::GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return win32::UniqueHandle(copy);
}

TEST(KnownClients, FactsComeBackOnlyForAProcessWhoseHandleIsKept) {
    KnownClients clients;
    clients.remember(10, win32::UniqueHandle(), KnownClientFacts{1, "C:\\a.exe"});
    EXPECT_FALSE(clients.find(10)) << "no handle, so the id proves nothing";

    clients.remember(10, process_handle(), KnownClientFacts{1, "C:\\a.exe"});
    clients.remember(10, process_handle(), KnownClientFacts{2, "C:\\b.exe"});
    const auto found = clients.find(10);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->session, 2u);
    EXPECT_EQ(found->image_path, "C:\\b.exe");
    EXPECT_FALSE(clients.find(11));
}

TEST(KnownClients, TheOldestIsClosedForANewOne) {
    KnownClients clients;
    for (std::uint32_t pid = 1; pid <= KnownClients::kCapacity + 1; ++pid)
        clients.remember(pid, process_handle(), KnownClientFacts{pid, "C:\\client.exe"});
    EXPECT_FALSE(clients.find(1));
    for (std::uint32_t pid = 2; pid <= KnownClients::kCapacity + 1; ++pid) EXPECT_TRUE(clients.find(pid)) << pid;
}

}  // namespace
}  // namespace zorv::security
