#include "support/streams.h"

#include <algorithm>
#include <stdexcept>

namespace {

std::vector<uint8_t> BalancedLengths(uint32_t n) {
    std::vector<uint64_t> counts(n, 1);
    std::vector<uint8_t> lengths(n, 0);
    LimitedCodeLengths(counts.data(), n, 15, lengths.data());
    return lengths;
}

} // namespace

CodeTables FullTables() {
    CodeTables t;
    t.token = BalancedLengths(TOKEN_SYMBOLS);
    t.offset = BalancedLengths(OFFSET_SYMBOLS);
    t.escape = BalancedLengths(ESCAPE_SYMBOLS);
    return t;
}

StreamBuilder::StreamBuilder(uint32_t width, uint32_t height) {
    for (const OffsetPair &o : INITIAL_OFFSETS) list_.emplace_back(o.dx, o.dy);
    PutHeader(&file_, width, height);
    StartBitWriter(&writer_, &file_);
}

void StreamBuilder::Lengths(const CodeTables &tables) {
    PutCodeLengths(&writer_, tables.token.data(), TOKEN_SYMBOLS);
    PutCodeLengths(&writer_, tables.offset.data(), OFFSET_SYMBOLS);
    PutCodeLengths(&writer_, tables.escape.data(), ESCAPE_SYMBOLS);
}

void StreamBuilder::Tables(const CodeTables &tables) {
    Lengths(tables);
    SetPrefixCode(&token_, tables.token.data(), TOKEN_SYMBOLS);
    SetPrefixCode(&offset_, tables.offset.data(), OFFSET_SYMBOLS);
    SetPrefixCode(&escape_, tables.escape.data(), ESCAPE_SYMBOLS);
}

uint32_t StreamBuilder::PositionOf(int32_t dx, int32_t dy) {
    auto it = std::find(list_.begin(), list_.end(), std::make_pair(dx, dy));
    if (it == list_.end()) throw std::invalid_argument("offset not in the list");
    return static_cast<uint32_t>(it - list_.begin());
}

void StreamBuilder::Token(uint32_t t, uint32_t position) {
    if (token_.length[t] == 0 || offset_.length[position] == 0)
        throw std::invalid_argument("symbol without a code");
    PutSymbol(&writer_, &token_, t);
    PutSymbol(&writer_, &offset_, position);
    auto chosen = list_[position];
    list_.erase(list_.begin() + position);
    list_.insert(list_.begin(), chosen);
    tokens_++;
}

void StreamBuilder::Escape(uint32_t e) {
    if (escape_.length[e] == 0) throw std::invalid_argument("escape without a code");
    PutSymbol(&writer_, &escape_, e);
}

void StreamBuilder::Literal(uint32_t t, int32_t dx, int32_t dy, std::vector<uint32_t> escapes) {
    Token(t, PositionOf(dx, dy));
    for (uint32_t e : escapes) Escape(e);
}

void StreamBuilder::Run(uint32_t n, int32_t dx, int32_t dy) { Token(RunToken(n), PositionOf(dx, dy)); }

std::vector<uint8_t> StreamBuilder::Finish() {
    FlushBits(&writer_);
    return file_;
}

std::vector<uint8_t> BitString(const std::string &bits) {
    std::vector<uint8_t> out;
    BitWriter w;
    StartBitWriter(&w, &out);
    for (char c : bits)
        if (c == '0' || c == '1') PutBits(&w, c == '1' ? 1 : 0, 1);
    FlushBits(&w);
    return out;
}

ByteReader::ByteReader(std::vector<uint8_t> data) : bytes(std::move(data)) {
    OpenSource(&source, reinterpret_cast<const char *>(bytes.data()),
               static_cast<SourceExtent>(bytes.size()), SOURCE_KIND_MEMORY);
    StartPlainReader(&plain, source);
    StartMemoryReader(&reader, bytes.data(), bytes.size());
}

ByteReader::~ByteReader() {
    if (source != nullptr) CloseSource(source, nullptr);
}

