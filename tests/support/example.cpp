#include "support/example.h"

std::vector<uint8_t> ExamplePicture() {
    std::vector<uint8_t> file = HeaderBytes(EXAMPLE_WIDTH, EXAMPLE_HEIGHT);
    file.insert(file.end(), EXAMPLE_STREAM, EXAMPLE_STREAM + sizeof EXAMPLE_STREAM);
    return file;
}

std::vector<uint8_t> ExampleStreamBytes() {
    return std::vector<uint8_t>(EXAMPLE_STREAM, EXAMPLE_STREAM + sizeof EXAMPLE_STREAM - EXAMPLE_PADDING);
}

std::vector<uint8_t> ExamplePixels() { return {0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0xFE, 0, 0}; }
