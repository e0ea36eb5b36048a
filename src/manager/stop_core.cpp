#include "manager/stop_core.hpp"

namespace zorv::manager {

// Placeholder: forced stop only, until the graceful path lands.
void stop_core_gracefully(ActiveRuntime& session) {
    (void)session.child.kill(1);
    (void)session.child.wait();
}

}  // namespace zorv::manager
