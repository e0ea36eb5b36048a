#pragma once
// PROC_THREAD_ATTRIBUTE_HANDLE_LIST: a child started with it inherits exactly
// the listed handles and none of the others the helper holds.

#include <windows.h>

#include <vector>

#include "common/error.hpp"

namespace zorv::win32 {

class InheritedHandleList {
public:
    // The handles must stay open until the child has been created.
    static Result<InheritedHandleList> create(std::vector<HANDLE> handles);

    InheritedHandleList(InheritedHandleList&& other) noexcept;
    InheritedHandleList& operator=(InheritedHandleList&&) = delete;
    InheritedHandleList(const InheritedHandleList&) = delete;
    InheritedHandleList& operator=(const InheritedHandleList&) = delete;
    ~InheritedHandleList();

    // For STARTUPINFOEXW::lpAttributeList.
    LPPROC_THREAD_ATTRIBUTE_LIST get();

private:
    InheritedHandleList() = default;

    // The attribute list points into `handles_`, so neither moves while it lives.
    std::vector<HANDLE> handles_;
    std::vector<unsigned char> storage_;
    bool initialized_ = false;
};

}  // namespace zorv::win32
