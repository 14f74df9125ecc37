// pxc: PXCM pictures on the command line.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "common.h"
#include "images.h"
#include "plugin/pxcm.h"

#ifndef PXC_VERSION
#define PXC_VERSION "0"
#endif

using namespace pxc;

namespace {

std::string Banner() {
    char buffer[256];
    return GetPluginInfo(1, buffer, sizeof buffer) > 0 ? buffer : "(no plug-in banner)";
}

// Whole numbers from lo to hi: a sign, a fraction or an exponent is
// refused rather than wrapped around.
CLI::Validator WholeNumber(uint64_t lo, uint64_t hi) {
    return CLI::Validator(
        [lo, hi](std::string &text) -> std::string {
            const std::string range = " (a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) + ")";
            if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
                return "'" + text + "' is not allowed" + range;
            errno = 0;
            const unsigned long long v = strtoull(text.c_str(), nullptr, 10);
            if (errno != 0 || v < lo || v > hi) return text + " is out of range" + range;
            return "";
        },
        "N", "WholeNumber");
}

std::string Examples(const std::vector<std::string> &lines) {
    std::string text = "\nExamples:\n";
    for (const std::string &line : lines) text += "  " + line + "\n";
    return text;
}

// Options every subcommand has.
void AddVerbosity(CLI::App *app, Settings &s) {
    app->add_flag("-q,--quiet", s.quiet, "print only failures: no summary, no progress bar");
    app->add_flag("-v,--verbose", s.verbose, "say more about each file");
}

void AddMaxPixels(CLI::App *app, Settings &s) {
    app->add_option("--max-pixels", s.max_pixels,
                    "refuse pictures with more pixels (" + std::to_string(MAX_PICTURE_PIXELS) + " lifts the limit)")
        ->capture_default_str()
        ->check(WholeNumber(1, MAX_PICTURE_PIXELS));
}

void AddJobs(CLI::App *app, Settings &s) {
    app->add_option("-j,--jobs", s.threads, "worker threads (default: the cores it may run on)")
        ->capture_default_str()
        ->check(WholeNumber(1, 1024));
}

void AddProgress(CLI::App *app, Settings &s) { app->add_flag("--no-progress", s.no_progress, "no progress bar"); }

void AddOffset(CLI::App *app, Settings &s) {
    app->add_option("--offset", s.offset, "the picture starts this many bytes into the file")
        ->check(WholeNumber(0, static_cast<uint64_t>(INT64_MAX)));
}

void AddNames(CLI::App *app, Settings &s, const std::string &fallback) {
    app->add_option("--name", s.name_template,
                    "output name template: {stem}, {name}, {ext}, {offset} (default " + fallback + ")");
    app->add_option("--suffix", s.suffix, "append this to the input's stem in output names");
}

void AddOutputs(CLI::App *app, Settings &s, const std::string &what) {
    CLI::Option *o = app->add_option("-o,--output", s.output, "output file (one input only; - = standard output)");
    app->add_option("--out-dir", s.out_dir, "folder for the outputs (" + what + "), created when missing")
        ->excludes(o);
    app->add_flag("-f,--force", s.force, "replace existing outputs");
    app->add_flag("--skip-existing", s.skip_existing, "leave existing outputs as they are and count them");
    app->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs (keeping their tree under --out-dir)");
}

} // namespace

int main(int argc, char **argv) {
    const pxc::ThreadBuffers buffers;
    PrepareStandardStreams();
    InstallStopHandlers();
    // From here on the arguments are UTF-8, whatever the system passed.
    std::vector<std::string> arguments = ProgramArguments(argc, argv);
    std::vector<char *> pointers;
    for (std::string &a : arguments) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    argc = static_cast<int>(arguments.size());
    argv = pointers.data();
    Settings s;
    s.threads = UsableProcessors();

    CLI::App app{"pxc: read, check, convert and write PXCM pictures, and find them inside other files"};
    app.set_version_flag("--version", std::string("pxc ") + PXC_VERSION + "\nplug-in: " + Banner());
    app.require_subcommand(1);
    // Options are -x and --name everywhere: an argument that begins with
    // '/' is a file (CLI11 would take it for an option on Windows).
    app.allow_windows_style_options(false);
    app.footer("Exit status: 0 when every file succeeded, 1 when any failed, 2 for a usage error,\n"
               "130 after Ctrl-C (probe and verify have their own; see their --help).\n"
               "Run 'pxc COMMAND --help' for a command's options; 'man pxc' for everything.\n" +
               Examples({"pxc decode CG01.PXC -o cg01.png", "pxc verify *.PXC", "pxc scan game.dat",
                         "pxc extract game.dat --out-dir cg"}));

    CLI::App *info = app.add_subcommand("info", "Print each picture's size and whether its stream is complete");
    info->add_option("files", s.files, "PXCM files (- = standard input)")->required();
    info->add_flag("--fast", s.fast, "read the header only (no decode, no stream check)");
    info->add_flag("--json", s.json, "one JSON document on standard output");
    info->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs");
    AddOffset(info, s);
    AddMaxPixels(info, s);
    AddJobs(info, s);
    AddProgress(info, s);
    AddVerbosity(info, s);
    info->footer(Examples({"pxc info CG01.PXC", "pxc info --fast -r cg/", "pxc info --json game.dat --offset 81920"}));

    CLI::App *probe = app.add_subcommand("probe", "Tell for each file whether it is a PXCM picture");
    probe->add_option("files", s.files, "files to test (- = standard input)")->required();
    probe->add_flag("--json", s.json, "one JSON document on standard output");
    probe->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs");
    AddVerbosity(probe, s);
    probe->footer("Exit status: 0 every file is a PXCM picture, 1 some file is not, 2 some file could not\n"
                  "be read (or a usage error).\n" +
                  Examples({"pxc probe CG01.PXC", "pxc probe -q unknown.bin && echo picture"}));

    CLI::App *verify = app.add_subcommand("verify", "Decode without writing and report on each stream");
    verify->add_option("files", s.files, "PXCM files (- = standard input)")->required();
    verify->add_flag("--json", s.json, "one JSON document on standard output");
    verify->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs");
    AddOffset(verify, s);
    AddMaxPixels(verify, s);
    AddJobs(verify, s);
    AddProgress(verify, s);
    AddVerbosity(verify, s);
    verify->footer("Each file is complete, ends early (its last rows decode from the zero bits after its\n"
                   "data), has trailing bytes after its stream, or fails. Exit status: the sum of 1 (some\n"
                   "file failed), 4 (some stream ends early) and 8 (some file has trailing bytes); 0 when\n"
                   "every stream is complete; 2 for a usage error.\n" +
                   Examples({"pxc verify *.PXC", "pxc verify -q -r cg/ || echo 'not all complete'",
                             "pxc verify --json CG01.PXC"}));

    CLI::App *decode = app.add_subcommand("decode", "Convert PXCM pictures to PNG or BMP");
    decode->add_option("files", s.files, "PXCM files or folders (- = standard input)")->required();
    AddOutputs(decode, s, "{stem}.png by default");
    decode->add_option("--format", s.format, "png or bmp (default: -o's extension, else png)")
        ->check(CLI::IsMember({"png", "bmp"}));
    AddNames(decode, s, "{stem}.{ext}");
    AddOffset(decode, s);
    decode->add_flag("--strict", s.strict, "fail on a stream that ends early instead of warning");
    AddMaxPixels(decode, s);
    AddJobs(decode, s);
    AddProgress(decode, s);
    AddVerbosity(decode, s);
    // Flags of earlier versions; what they asked for is now the default.
    bool ignored = false;
    decode->add_flag("--keep-partial,--no-tail-check", ignored)->group("");
    decode->footer("A stream that takes bits from past the end of its data decodes as the plug-in shows it,\n"
                   "with a warning that names the row; --strict makes that a failure.\n" +
                   Examples({"pxc decode CG01.PXC                     # CG01.png beside it",
                             "pxc decode CG01.PXC -o - | display      # PNG to standard output",
                             "cat CG01.PXC | pxc decode - --format bmp > cg01.bmp",
                             "pxc decode -r cg/ --out-dir png/ --skip-existing",
                             "pxc decode game.dat --offset 81920 -o cg.png"}));

    CLI::App *encode = app.add_subcommand("encode", "Convert PNG or 24-bit BMP pictures to PXCM");
    encode->add_option("files", s.files, "PNG or BMP files or folders (- = standard input)")->required();
    AddOutputs(encode, s, "{stem}.pxc by default");
    AddNames(encode, s, "{stem}.{ext}");
    AddMaxPixels(encode, s);
    encode->add_option("-e,--effort", s.effort, "effort from 1 (fast) to 9 (smallest)")
        ->capture_default_str()
        ->check(WholeNumber(1, 9));
    for (int level = 1; level <= 9; level++) {
        encode->add_flag_callback("-" + std::to_string(level), [&s, level]() { s.effort = level; },
                                  "effort " + std::to_string(level));
    }
    AddJobs(encode, s);
    AddProgress(encode, s);
    AddVerbosity(encode, s);
    encode->footer("The summary gives the bytes in and out, their ratio and the bits per pixel.\n" +
                   Examples({"pxc encode picture.png -o CG01.PXC -9", "pxc encode -r png/ --out-dir cg/ -v"}));

    CLI::App *scan = app.add_subcommand("scan", "List the PXCM pictures embedded in any file");
    scan->add_option("files", s.files, "files to search (archives, disk images, ...)")->required();
    scan->add_flag("--json", s.json, "one JSON document on standard output");
    scan->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs");
    AddMaxPixels(scan, s);
    AddProgress(scan, s);
    AddVerbosity(scan, s);
    scan->footer("Every byte offset where an accepted header starts is decoded to learn where its stream\n"
                 "ends; headers whose streams do not decode are passed over.\n" +
                 Examples({"pxc scan game.dat", "pxc scan --json game.dat > pictures.json"}));

    CLI::App *extract = app.add_subcommand("extract", "Write every PXCM picture embedded in files");
    extract->add_option("files", s.files, "files to search")->required();
    extract->add_option("--out-dir", s.out_dir, "folder for the pictures, created when missing")->required();
    extract->add_option("--format", s.format, "png (default) or bmp")->check(CLI::IsMember({"png", "bmp"}));
    AddNames(extract, s, "{name}-{offset}.{ext}");
    extract->add_flag("-f,--force", s.force, "replace existing outputs");
    extract->add_flag("--skip-existing", s.skip_existing, "leave existing outputs as they are and count them");
    extract->add_flag("--all", s.all, "also pictures that start inside another picture's stream");
    extract->add_flag("--strict", s.strict, "fail on pictures cut short by the end of the file");
    extract->add_flag("-r,--recursive", s.recursive, "walk folders given as inputs");
    AddMaxPixels(extract, s);
    AddProgress(extract, s);
    AddVerbosity(extract, s);
    extract->footer(Examples({"pxc extract game.dat --out-dir cg    # cg/game.dat-81920.png, ...",
                              "pxc extract *.dat --out-dir cg --format bmp --name '{stem}_{offset}.{ext}'"}));

    // A misspelt subcommand gets a suggestion rather than CLI11's words.
    std::vector<std::string> names;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; })) names.push_back(sub->get_name());
    if (argc > 1 && argv[1][0] != '-') {
        const std::string word = argv[1];
        if (std::find(names.begin(), names.end(), word) == names.end()) {
            const std::string near = ClosestCommand(word, names);
            fprintf(stderr, "pxc: unknown command '%s'", word.c_str());
            if (!near.empty()) fprintf(stderr, "; did you mean '%s'?", near.c_str());
            fprintf(stderr, "\nRun 'pxc --help' for the commands.\n");
            return EXIT_USAGE;
        }
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : EXIT_USAGE;
    }
    if (s.quiet && s.verbose) {
        fprintf(stderr, "pxc: -q and -v contradict each other\n");
        return EXIT_USAGE;
    }

    int status = EXIT_USAGE;
    if (info->parsed()) status = RunInfo(s);
    else if (probe->parsed()) status = RunProbe(s);
    else if (verify->parsed()) status = RunVerify(s);
    else if (decode->parsed()) status = RunDecode(s);
    else if (encode->parsed()) status = RunEncode(s);
    else if (scan->parsed()) status = RunScan(s);
    else if (extract->parsed()) status = RunExtract(s);
    if (StopRequested() && status != StopExitStatus()) {
        fprintf(stderr, "pxc: interrupted\n");
        status = StopExitStatus();
    }
    return status;
}
