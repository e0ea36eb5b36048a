#include <gtest/gtest.h>

#include <sstream>

#include "server_trace.hpp"

namespace zorv::bench {
namespace {

// Lines as `wineserver -f -d1` writes them (Wine 8).
constexpr const char* kTrace = R"(wineserver: starting (pid=22917)
0020: *fd* 02f6 -> 23
0024: init_first_thread( unix_pid=500, unix_tid=500, debug_level=0, reply_fd=7, wait_fd=9 )
0024: init_first_thread() = 0 { pid=0020, tid=0024, server_start=1dd86baec66d2be (-1.0880000), session_id=00000001, info_size=0, machines={8664,014c} }
0024: new_process( token=0000, debug=0000, parent_process=0000, flags=00000000, socket_fd=11 )
0024: new_process() = 0 { info=000c, pid=0028, handle=0010 }
0024: new_thread( process=0010, access=001fffff, flags=00000001, request_fd=-1, objattr={} )
0024: new_thread() = 0 { tid=002c, handle=0014 }
002c: init_first_thread( unix_pid=600, unix_tid=600, debug_level=0, reply_fd=7, wait_fd=9 )
002c: init_first_thread() = 0 { pid=0028, tid=002c, server_start=1dd86baec66d2be (-1.0880000), session_id=00000001 }
002c: new_thread( process=ffffffff, access=001fffff, flags=00000001, request_fd=5, objattr={} )
002c: new_thread() = 0 { tid=0034, handle=0030 }
0034: init_thread( unix_tid=601, reply_fd=11, wait_fd=13, teb=67fd0000, entry=368454420 )
0034: init_thread() = 0 { suspend=0 }
0038: init_thread( unix_tid=602, reply_fd=12, wait_fd=14, teb=67fd0000, entry=140005570 )
0038: init_thread() = 0 { suspend=0 }
== window 0
002c: get_startup_info( )
002c: get_startup_info() = 0 { info_size=0 }
0034: close_handle( handle=0004 )
0034: close_handle() = 0
0034: *wakeup* signaled=0
0038: select( flags=2, cookie=0022f0b8, timeout=infinite, size=0, prev_apc=0000 )
0024: open_key( parent=0000, access=00020019, attributes=00000040, name=L"\\Registry\\Machine" )
0024: open_key() = OBJECT_NAME_NOT_FOUND { hkey=0000 }
== window 1
0034: terminate_thread( handle=fffffffe, exit_code=0 )
0034: terminate_thread() = 0 { self=1, last=0 }
0024: new_thread( process=ffffffff, access=001fffff, flags=00000001, request_fd=5, objattr={} )
0024: new_thread() = 0 { tid=0034, handle=0040 }
0034: init_thread( unix_tid=603, reply_fd=11, wait_fd=13, teb=67fd0000, entry=368454420 )
0034: init_thread() = 0 { suspend=0 }
0034: get_thread_times( handle=fffffffe )
0024: read( async={handle=0008,event=0000,iosb=0022f9b0,user=0000,apc=0000,apc_context=0000}, pos=0 )
)";

// Unix thread 602 is a task of unix process 600 (the second process).
bool fake_tasks(std::uint32_t unix_pid, std::uint32_t unix_tid) { return unix_pid == 600 && unix_tid == 602; }

ServerTrace read_trace() {
    ServerTrace trace(fake_tasks);
    std::istringstream lines(kTrace);
    std::string line;
    int window = -1;
    while (std::getline(lines, line)) {
        if (line.starts_with("== window ")) {
            window = std::stoi(line.substr(10));
            continue;
        }
        trace.feed(line, window);
    }
    return trace;
}

TEST(ServerTrace, CountsRequestLinesOfEachProcessPerWindow) {
    const ServerTrace trace = read_trace();
    struct Case {
        std::uint32_t pid;
        int window;
        std::uint64_t requests;
    };
    // Process 0x28 has its first thread, the thread it made itself (0x34)
    // and one known only through its Linux task (0x38). In window 1 the id
    // 0x34 ends and comes back as a thread of process 0x20. Replies, wake-ups
    // and fd notes are not requests.
    for (const Case& c : {Case{0x28, -1, 4}, Case{0x28, 0, 3}, Case{0x28, 1, 1}, Case{0x20, -1, 3},
                          Case{0x20, 0, 1}, Case{0x20, 1, 4}, Case{0x99, 0, 0}}) {
        EXPECT_EQ(trace.requests(c.pid, c.window), c.requests) << c.pid << " in window " << c.window;
    }
}

TEST(ServerTrace, RequestsByNameAddUpToTheCount) {
    const ServerTrace trace = read_trace();
    using ByName = std::map<std::string, std::uint64_t, std::less<>>;
    EXPECT_EQ(trace.requests_by_name(0x28, 0), (ByName{{"close_handle", 1}, {"get_startup_info", 1}, {"select", 1}}));
    EXPECT_EQ(trace.requests_by_name(0x20, 1), (ByName{{"get_thread_times", 1}, {"init_thread", 1},
                                                       {"new_thread", 1}, {"read", 1}}));
    EXPECT_TRUE(trace.requests_by_name(0x99, 0).empty());
}

TEST(ServerTrace, AThreadMadeForAnotherProcessIsNotTheCreators) {
    ServerTrace trace([](std::uint32_t, std::uint32_t) { return false; });
    for (const char* line : {
             "0024: init_first_thread( unix_pid=500, unix_tid=500 )",
             "0024: init_first_thread() = 0 { pid=0020, tid=0024 }",
             "0024: new_thread( process=0010, access=001fffff )",
             "0024: new_thread() = 0 { tid=002c, handle=0014 }",
             "002c: init_thread( unix_tid=601, reply_fd=11 )",
             "002c: close_handle( handle=0004 )",
         })
        trace.feed(line, 0);
    EXPECT_EQ(trace.requests(0x20, 0), 2u);
}

TEST(ServerTrace, ForeignLinesAreIgnored) {
    ServerTrace trace([](std::uint32_t, std::uint32_t) { return true; });
    trace.feed("0024: init_first_thread( unix_pid=500, unix_tid=500 )", 0);
    trace.feed("0024: init_first_thread() = 0 { pid=0020, tid=0024 }", 0);
    for (const char* line : {"", "0024:", "0024: ", ": open_key( parent=0 )", "zz24: open_key( parent=0 )",
                             "0024: Open_Key( parent=0 )", "0024: open_key(parent=0)", "0024: (x)",
                             "0024: *signal* signal=9", "wineserver: starting (pid=1)"})
        trace.feed(line, 0);
    EXPECT_EQ(trace.requests(0x20, 0), 1u);
}

}  // namespace
}  // namespace zorv::bench
