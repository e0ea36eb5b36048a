#pragma once
// What every part of the control pipe's server shares.

#include <memory>
#include <string>

#include <asio/any_io_executor.hpp>

#include "api/frame_handler.hpp"

namespace zorv::pipe_server {

struct PipeServerContext {
    std::string pipe_name;  // bare name, without \\.\pipe\ in front
    // What answers each request frame; every connection keeps it alive.
    std::shared_ptr<api::FrameHandler> handler;
    // Where a connection whose client is slow is finished.
    asio::any_io_executor executor;
};

}  // namespace zorv::pipe_server
