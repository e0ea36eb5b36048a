// The sentences Event Viewer shows come from the message table compiled into
// zorv-helper.exe (the event source names the helper as its message file):
// every event id the helper reports must have one there, with its inserts.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_resource.hpp"
#include "common/win32.hpp"
#include "logger/event_log.hpp"
#include "support/test_env.hpp"

namespace zorv::testing {
namespace {

// The inserts each record carries (event_log's helper_events).
std::size_t insert_count(events::EventId id) {
    switch (id) {
        case events::EventId::ServiceStopped:
        case events::EventId::CoreStartFailed: return 1;
        default: return 2;
    }
}

struct FreeModule {
    void operator()(HMODULE module) const { ::FreeLibrary(module); }
};

TEST(EventMessages, EveryEventIdHasASentenceWithItsInserts) {
    const std::unique_ptr<std::remove_pointer_t<HMODULE>, FreeModule> helper(::LoadLibraryExW(
        helper_exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    ASSERT_TRUE(helper) << win32::last_os_error().one_line();
    for (const events::EventId id : events::kAllEventIds) {
        wchar_t* buffer = nullptr;
        const DWORD length = ::FormatMessageW(
            FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, helper.get(),
            static_cast<DWORD>(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<LPWSTR>(&buffer),
            0, nullptr);
        const win32::UniqueLocalMemory<wchar_t> owned(buffer);
        ASSERT_GT(length, 0u) << "no message for event " << static_cast<std::uint32_t>(id);
        const std::string message = win32::from_wide(std::wstring_view(buffer, length));
        for (std::size_t insert = 1; insert <= insert_count(id); ++insert)
            EXPECT_NE(message.find("%" + std::to_string(insert)), std::string::npos)
                << static_cast<std::uint32_t>(id) << ": " << message;
        EXPECT_EQ(message.find("%" + std::to_string(insert_count(id) + 1)), std::string::npos) << message;
    }
}

}  // namespace
}  // namespace zorv::testing
