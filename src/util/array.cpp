#include "tolvane/util/array.h"

#include <cstddef>
#include <cstdlib>

static size_t block_size(unsigned int capacity) {
    return sizeof(cr_array) + static_cast<size_t>(capacity) * sizeof(const void *);
}

bool cr_array_init(cr_array **array, unsigned int capacity) {
    auto *a = static_cast<cr_array *>(malloc(block_size(capacity)));
    if (a == nullptr) return false;
    a->capacity = capacity;
    a->length = 0;
    *array = a;
    return true;
}

int cr_array_append_offset(cr_array **array, void *value) {
    cr_array *a = *array;
    // The index is returned as an int, so the array stops growing where it would no longer fit.
    if (a->length >= static_cast<unsigned int>(__INT_MAX__)) return -1;
    if (a->length == a->capacity) {
        unsigned int capacity = a->capacity * 2;
        if (capacity < a->capacity) return -1;
        auto *grown = static_cast<cr_array *>(realloc(a, block_size(capacity)));
        if (grown == nullptr) return -1;
        grown->capacity = capacity;
        *array = a = grown;
    }
    unsigned int i = a->length++;
    a->value[i] = value;
    return static_cast<int>(i);
}

bool cr_array_remove_at(cr_array *array, unsigned int i) {
    if (i >= array->length) return false;
    unsigned int last = array->length - 1;
    if (i == last) {
        array->value[i] = nullptr;
    } else {
        array->value[i] = array->value[last];
    }
    array->length = last;
    return true;
}
