#include "testsupport.h"

// Every test program is prepared before its main runs, whichever main it has (qm_add_test links
// this into each).
[[maybe_unused]] static const bool g_prepared = (testsupport::prepareTestProcess(), true);
