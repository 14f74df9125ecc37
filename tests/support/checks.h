// Checks shared by the GoogleTests: what a refused header must leave
// behind in every export.
#ifndef PXCM_TESTS_CHECKS_H
#define PXCM_TESTS_CHECKS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/decode.h"
#include "support/header_rule.h"

// A refused header: the exact code from GetPicture and GetPictureInfo,
// nothing handed out, no callback, the record untouched; the probe follows
// the header rule over its zero-padded head (a header cut within its final
// zero bytes still passes there).
inline void ExpectRefused(const std::vector<uint8_t> &file, int32_t code, const std::string &what) {
    SCOPED_TRACE(what);
    const Decoded d = DecodeBytes(file);
    EXPECT_EQ(d.result, code);
    EXPECT_TRUE(d.untouched());
    EXPECT_TRUE(d.calls.empty());
    PictureInfoBlock record = UntouchedRecord();
    EXPECT_EQ(InfoFromBytes(file, &record), code);
    EXPECT_TRUE(SameRecord(record, UntouchedRecord()));
    EXPECT_EQ(ProbeBytes(file), HeaderAccepted(ProbeHead(file)) ? 1 : 0);
}

#endif
