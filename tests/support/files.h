// Files for the tests: temporary folders and files that remove themselves,
// reading a whole file, and the sample pictures.
#ifndef PXCM_TESTS_FILES_H
#define PXCM_TESTS_FILES_H

#include <stdint.h>

#include <filesystem>
#include <string>
#include <vector>

// A fresh folder in the system's temporary folder, removed with everything
// in it when the object goes. Its name carries `label`.
class TempDir {
public:
    explicit TempDir(const std::string &label = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    // The path of `name` inside the folder.
    std::string File(const std::string &name) const { return (path_ / name).string(); }
    // Entries in the folder.
    size_t Count() const;

private:
    std::filesystem::path path_;
};

// A file holding exactly `bytes`, alone in a fresh temporary folder.
class TempFile {
public:
    explicit TempFile(const std::vector<uint8_t> &bytes, const std::string &name = "picture.pxc");
    const std::string &path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
};

// The whole file; throws std::runtime_error when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string &path);
// Writes the whole file; throws std::runtime_error on failure.
void WriteFileBytes(const std::string &path, const std::vector<uint8_t> &bytes);

// The sample pictures (samples/*.pxc), sorted by name; none when the folder
// is missing.
std::vector<std::string> SampleFiles();

#endif
