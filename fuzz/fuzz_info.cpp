// GetPictureInfo and IsSupported on the fuzz input, through every kind of
// source: a memory block, a file by name (a memfd under /proc/self/fd), and
// the two probes, a 2048-byte zero-padded head at a pointer and an open
// descriptor. All must agree with the header rule the tests restate
// (tests/support/header_rule.h);
// a refused header leaves the record untouched, and the descriptor probe
// leaves the position where it was.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "harness.h"
#include "support/decode.h"

namespace {

void CheckRecord(int32_t result, const PictureInfoBlock &record, const uint8_t *data, size_t size) {
    if (!HeaderAccepted(data, size)) {
        FUZZ_CHECK(result == (size < static_cast<size_t>(HEADER_SIZE) ? ERR_READ : ERR_BAD_FORMAT));
        FUZZ_CHECK(SameRecord(record, UntouchedRecord()));
        return;
    }
    FUZZ_CHECK(result == ERR_NONE);
    FUZZ_CHECK(record.left == 0 && record.top == 0 && record.x_density == 0 &&
               record.y_density == 0 && record.text_handle == 0 && record.depth == FORMAT_DEPTH);
    FUZZ_CHECK(record.width == static_cast<int32_t>(ClaimedWidth(data, size)));
    FUZZ_CHECK(record.height == static_cast<int32_t>(ClaimedHeight(data, size)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    PictureInfoBlock record = UntouchedRecord();
    int32_t result = GetPictureInfo(reinterpret_cast<const char *>(data), static_cast<PxcmLong>(size),
                                    SOURCE_MEMORY, &record);
    CheckRecord(result, record, data, size);

    // The probe's head: exactly 2048 bytes on the heap, so that a read past
    // them is caught. A heap address has bits above the low 16 set, which
    // is what marks the probe reference as a pointer.
    // A short file is padded with zeros, so a header cut in its last zero
    // bytes is still accepted here.
    const std::vector<uint8_t> head = ProbeHead(data, size);
    const bool head_accepted = HeaderAccepted(head);
    const PxcmRef pointer = reinterpret_cast<PxcmRef>(head.data());
    FUZZ_CHECK((pointer >> 16) != 0);
    FUZZ_CHECK(IsSupported("ignored.bin", pointer) == (head_accepted ? 1 : 0));

    // The same bytes as a file: by name with an offset, and as a descriptor.
    const int fd = memfd_create("pxcm-fuzz", MFD_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
    char name[64];
    snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    record = UntouchedRecord();
    result = GetPictureInfo(name, 0, SOURCE_FILE, &record);
    CheckRecord(result, record, data, size);
    if (size > 1) {
        // The picture starting one byte into the file.
        record = UntouchedRecord();
        result = GetPictureInfo(name, 1, SOURCE_FILE, &record);
        CheckRecord(result, record, data + 1, size - 1);
    }

    const off_t start = static_cast<off_t>(size / 2);
    FUZZ_CHECK(lseek(fd, start, SEEK_SET) == start);
    const size_t rest = size - size / 2;
    FUZZ_CHECK(IsSupported(nullptr, static_cast<PxcmRef>(fd)) ==
               (HeaderAccepted(ProbeHead(data + size / 2, rest)) ? 1 : 0));
    FUZZ_CHECK(lseek(fd, 0, SEEK_CUR) == start);
    close(fd);
    return 0;
}
