#include "support/files.h"

#include <ctype.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir(const std::string &label) {
    static std::atomic<uint32_t> counter{0};
    std::random_device random;
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0;; attempt++) {
        path_ = base / ("pxcm-test-" + (label.empty() ? "" : label + "-") + std::to_string(random()) + "-" +
                        std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(path_, ec)) return;
        if (attempt == 100) throw std::runtime_error("cannot make a folder in " + base.string());
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

size_t TempDir::Count() const {
    size_t n = 0;
    for (auto it = fs::directory_iterator(path_); it != fs::directory_iterator(); ++it) n++;
    return n;
}

TempFile::TempFile(const std::vector<uint8_t> &bytes, const std::string &name) : path_(dir_.File(name)) {
    WriteFileBytes(path_, bytes);
}

std::vector<uint8_t> ReadFileBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) throw std::runtime_error("cannot open " + path);
    const std::streamoff size = in.tellg();
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(bytes.data()), size);
    if (!in || in.gcount() != size) throw std::runtime_error("cannot read " + path);
    return bytes;
}

void WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> SampleFiles() {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::directory_iterator(PXCM_SAMPLES_DIR, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::string ext = it->path().extension().string();
        for (char &c : ext) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (ext == ".pxc") files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}
