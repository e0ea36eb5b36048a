#include "manager/runtime_status.hpp"

namespace zorv::manager {

RuntimeStatus bare_stopped(std::string service_instance_id) {
    RuntimeStatus status;
    status.service_instance_id = std::move(service_instance_id);
    return status;
}

}  // namespace zorv::manager
