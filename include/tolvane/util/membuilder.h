// cr_mem_builder: an append-only byte buffer whose content is always followed by a NUL,
// so it can be read as a C string. Each append reallocates to the exact new size.
#pragma once

#include <cstddef>

struct cr_mem_builder {
    char *mem;         // content plus one NUL; null while empty
    size_t allocated;  // content bytes, NUL not counted
};

void cr_mem_builder_init(cr_mem_builder *builder);
// False leaves the builder unchanged.
bool cr_mem_builder_append(cr_mem_builder *builder, const void *data, size_t len);
// Stores mem through data_out (the address of the caller's data pointer) and allocated through len.
void _cr_mem_builder_data_get(cr_mem_builder *builder, void *data_out, size_t *len);
// Frees the content; the builder can be used again.
void cr_mem_builder_reset(cr_mem_builder *builder);
// Frees the content; the builder is not used afterwards.
void cr_mem_builder_deinit(cr_mem_builder *builder);
