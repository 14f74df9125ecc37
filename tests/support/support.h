// Everything the test groups share, in one header: calling the exports
// (decode.h) and checks of their results (checks.h), the example picture
// (example.h), the header rule (header_rule.h), temporary and whole files
// (files.h), random pictures with their expected pixels (random_stream.h),
// hand-made streams and bit readers (streams.h), the reference decoders
// (reference.h) and the fixture of the tests that arm faults
// (with_faults.h).
#ifndef PXCM_TESTS_SUPPORT_H
#define PXCM_TESTS_SUPPORT_H

#include "support/decode.h"
#include "support/example.h"
#include "support/files.h"
#include "support/header_rule.h"
#include "support/random_stream.h"
#include "support/reference.h"
#include "support/streams.h"
#include "support/checks.h"
#include "support/with_faults.h"

using Bytes = std::vector<uint8_t>;

#endif
