// write_pictures DIR: writes the desktop tests' pictures (pictures.h) into
// DIR, under their names, for the tests that run the installed clients.
#include <stdio.h>

#include <exception>
#include <filesystem>

#include "pictures.h"
#include "support/files.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    try {
        for (const TestPicture &p : DesktopPictures())
            WriteFileBytes((std::filesystem::path(argv[1]) / p.name).string(), p.file);
    } catch (const std::exception &e) {
        fprintf(stderr, "write_pictures: %s\n", e.what());
        return 1;
    }
    return 0;
}
