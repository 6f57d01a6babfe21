#include "tolvane/writer.h"

// The session protocol is not carried yet: a raw writer server cannot be used.
tolvane_writer_t *tolvane_writer_create(tolvane_cf_universe_t *, tolvane_cf_token_t *,
                                        tolvane_writer_cb_t) {
    return nullptr;
}
