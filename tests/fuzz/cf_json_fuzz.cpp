// Fuzzes the JSON configuration loader.
#include "fuzz_common.h"
#include "tolvane/config/cf_home.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    fuzz::run([&] {
        tolvane_cf_current_server_update("fuzzhost:9000");
        tolvane_cf_load_zeroconf(text.c_str());
        tolvane_cf_universe_get(nullptr);
    });
    return 0;
}
