// Fuzzes the configuration file parser with all five known block kinds.
#include "fuzz_common.h"
#include "tolvane/config/cf_blocks.h"
#include "tolvane/config/cf_home.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &path = fuzz::input_path(data, size);
    fuzz::run([&] {
        tolvane_cf_init_default_values();
        tolvane_cf_load_user_config(path.c_str());
        int argc = 1;
        char put[] = "put";
        char *words[] = {put, nullptr};
        char **argv = words;
        tolvane_cf_argv(&argc, &argv);
    });
    return 0;
}
