#include "manager/runtime_manager.hpp"

namespace zorv::manager {

// Placeholder until the core launch lands.
Result<RuntimeStatus> RuntimeManager::start_locked(RuntimeState& state, const api::StartRuntimeRequest&,
                                                   const std::string& operation_id) {
    stop_active(state, operation_id);
    return fail("Runtime start is not available yet");
}

}  // namespace zorv::manager
