// What a run reaches drives through: the backend that opens them and the tree that lists them.
// A front end makes one (the platform's, emulated drives, a test's) and hands it down; nothing
// below the front end keeps one of its own.
#pragma once

#include <memory>

#include "discovery/device_tree.h"
#include "transport/passthrough.h"

namespace mox3 {

struct DeviceAccess {
    std::shared_ptr<PassThroughBackend> backend;
    std::shared_ptr<DeviceTree> tree;
};

}  // namespace mox3
