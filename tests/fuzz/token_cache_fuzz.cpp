// Fuzzes the login token cache parser.
#include "fuzz_common.h"
#include "tolvane/config/token_cache.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &path = fuzz::input_path(data, size);
    fuzz::run([&] {
        tolvane_token_cache_load_path(path.c_str());
        tolvane_token_cache_get("u");
    });
    return 0;
}
