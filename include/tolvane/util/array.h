// cr_array: a growable array of pointers kept in one heap block with its header.
// Appends double the block when full (so the caller's pointer may move);
// removal moves the last element into the hole and never shrinks.
#pragma once

struct cr_array {
    unsigned int capacity;
    unsigned int length;
    const void *value[];
};
typedef struct cr_array cr_array_t;

// Allocates room for `capacity` (>= 1) slots; false leaves *array untouched.
bool cr_array_init(cr_array **array, unsigned int capacity);
// Returns the index the value was stored at, or -1 (array unchanged) when growth fails.
int cr_array_append_offset(cr_array **array, void *value);
// False when i is not below length; order is not kept.
bool cr_array_remove_at(cr_array *array, unsigned int i);
