#include "common/inherited_handles.hpp"

#include <utility>

#include "common/win32.hpp"

namespace zorv::win32 {

Result<InheritedHandleList> InheritedHandleList::create(std::vector<HANDLE> handles) {
    InheritedHandleList list;
    list.handles_ = std::move(handles);
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    list.storage_.resize(size);
    if (!::InitializeProcThreadAttributeList(list.get(), 1, 0, &size)) return fail(last_os_error());
    list.initialized_ = true;
    if (!::UpdateProcThreadAttribute(list.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, list.handles_.data(),
                                     sizeof(HANDLE) * list.handles_.size(), nullptr, nullptr))
        return fail(last_os_error());
    return list;
}

// A moved vector keeps its buffer, so the list's pointers stay valid.
InheritedHandleList::InheritedHandleList(InheritedHandleList&& other) noexcept
    : handles_(std::move(other.handles_)),
      storage_(std::move(other.storage_)),
      initialized_(std::exchange(other.initialized_, false)) {}

InheritedHandleList::~InheritedHandleList() {
    if (initialized_) ::DeleteProcThreadAttributeList(get());
}

LPPROC_THREAD_ATTRIBUTE_LIST InheritedHandleList::get() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
}

}  // namespace zorv::win32
