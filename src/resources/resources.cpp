#include "resources/resources.h"

#include <algorithm>

namespace mox3 {

// ConfigResources() is defined by the source generated from resources/config.

const EmbeddedResource* FindConfigResource(int id) {
    auto all = ConfigResources();
    auto it = std::lower_bound(all.begin(), all.end(), id,
                               [](const EmbeddedResource& r, int key) { return r.id < key; });
    return it != all.end() && it->id == id ? &*it : nullptr;
}

}  // namespace mox3
