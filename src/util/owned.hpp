// The one owner shape of every C resource: the pointer and the function that
// releases it. Each raw pointer enters its owner in the statement that creates
// it, so early returns cannot leak; adapters name the owners of their own
// libraries' resources beside their code.
#pragma once

#include <memory>

#include <cjson/cJSON.h>

#include "scb.h"

namespace scb {

template <auto Release>
struct ReleaseWith {
    template <typename Resource>
    void operator()(Resource *resource) const noexcept {
        Release(resource);
    }
};

template <typename Resource, auto Release>
using Owned = std::unique_ptr<Resource, ReleaseWith<Release>>;

// Texts handed across the C interface, released with scb_free.
using ScbText = Owned<char, scb_free>;

using CJsonTree = Owned<cJSON, cJSON_Delete>;
using CJsonText = Owned<char, cJSON_free>;

// Adds a member the tree now owns; on failure the item is released here.
inline bool add_to_object(cJSON *object, const char *name, CJsonTree item) noexcept {
    if (!item || !cJSON_AddItemToObject(object, name, item.get())) {
        return false;
    }
    (void)item.release();
    return true;
}

}  // namespace scb
