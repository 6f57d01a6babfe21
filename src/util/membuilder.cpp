#include "tolvane/util/membuilder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

void cr_mem_builder_init(cr_mem_builder *builder) {
    builder->mem = nullptr;
    builder->allocated = 0;
}

bool cr_mem_builder_append(cr_mem_builder *builder, const void *data, size_t len) {
    if (len > SIZE_MAX - 1 - builder->allocated) return false;
    size_t size = builder->allocated + len;
    auto *mem = static_cast<char *>(realloc(builder->mem, size + 1));
    if (mem == nullptr) return false;
    if (len > 0) memcpy(mem + builder->allocated, data, len);
    mem[size] = '\0';
    builder->mem = mem;
    builder->allocated = size;
    return true;
}

void _cr_mem_builder_data_get(cr_mem_builder *builder, void *data_out, size_t *len) {
    *static_cast<char **>(data_out) = builder->mem;
    *len = builder->allocated;
}

void cr_mem_builder_reset(cr_mem_builder *builder) {
    free(builder->mem);
    cr_mem_builder_init(builder);
}

void cr_mem_builder_deinit(cr_mem_builder *builder) {
    free(builder->mem);
}
