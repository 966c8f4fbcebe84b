#include <cstdlib>
#include <cstring>

#include "scb.h"

extern "C" {

void *scb_malloc(size_t size) noexcept {
    return std::malloc(size);
}

void scb_free(void *ptr) noexcept {
    std::free(ptr);
}

char *scb_strdup(const char *text) noexcept {
    if (text == nullptr) {
        return nullptr;
    }
    const size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(scb_malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

}  // extern "C"
