// pxc: PXCM pictures on the command line.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "batch.h"
#include "common.h"
#include "decode.h"
#include "encode.h"
#include "images.h"
#include "plugin/pxcm.h"
#include <pxcm/pxcm.h>

#ifndef PXC_VERSION
#define PXC_VERSION "0"
#endif

using namespace pxc;

namespace {

constexpr int EXIT_FAILED = 1; // some file failed
constexpr int EXIT_USAGE = 2;

std::string Banner() {
    char buffer[256];
    return GetPluginInfo(1, buffer, sizeof buffer) > 0 ? buffer : "(no plug-in banner)";
}

void PrintError(const std::string &name, const std::string &reason) {
    fprintf(stderr, "pxc: %s: %s\n", name.c_str(), reason.c_str());
}

int RunInfo(const std::vector<std::string> &files) {
    int status = 0;
    for (const std::string &file : files) {
        std::vector<uint8_t> head;
        try {
            head = ReadHead(file, HEADER_SIZE);
        } catch (const FileError &e) {
            PrintError(file, e.what());
            status = EXIT_FAILED;
            continue;
        }
        pxcm_info info{};
        const int r = pxcm_read_info(head.data(), head.size(), &info);
        if (r != PXCM_OK) {
            PrintError(file, FileResultMessage(r, head.data(), head.size()));
            status = EXIT_FAILED;
            continue;
        }
        printf("%s: %u x %u, %u bits per pixel\n", file.c_str(), info.width, info.height, info.depth);
    }
    return status;
}

int RunProbe(const std::vector<std::string> &files) {
    int status = 0;
    for (const std::string &file : files) {
        std::vector<uint8_t> head;
        try {
            head = ReadHead(file, HEADER_SIZE);
        } catch (const FileError &e) {
            PrintError(file, e.what());
            status = EXIT_FAILED;
            continue;
        }
        pxcm_info info{};
        const bool yes = pxcm_read_info(head.data(), head.size(), &info) == PXCM_OK;
        printf("%s: %s\n", file.c_str(), yes ? "PXCM picture" : "not a PXCM picture");
        if (!yes) status = EXIT_FAILED;
    }
    return status;
}

struct OutputPlan {
    std::vector<std::string> outputs;
    std::map<size_t, std::string> clashes; // input index -> reason
};

// Output names for every input: -o for a single input, else the input's
// stem with `extension` in --out-dir (or beside the input). Two inputs
// that would write the same file: the later one fails.
OutputPlan PlanOutputs(const std::vector<std::string> &inputs, const std::string &output,
                       const std::string &out_dir, const std::string &extension) {
    OutputPlan plan;
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string out = !output.empty() ? output : OutputName(inputs[i], out_dir, extension);
        auto [it, fresh] = seen.emplace(out, i);
        if (!fresh) plan.clashes[i] = "output " + out + " is also the output of " + inputs[it->second];
        plan.outputs.push_back(out);
    }
    return plan;
}

bool ShowProgress(bool quiet, bool no_progress) { return !quiet && !no_progress && isatty(STDERR_FILENO); }

} // namespace

int main(int argc, char **argv) {
    InstallCancelHandler();
    CLI::App app{"pxc: read, convert and write PXCM pictures"};
    app.set_version_flag("--version", std::string("pxc ") + PXC_VERSION + "\nplug-in: " + Banner());
    app.require_subcommand(1);
    app.footer("Exit status: 0 when every file succeeded (probe: is a PXCM picture), 1 when any file\n"
               "failed, 2 for a usage error. Failures are reported one line per file on stderr.");

    std::vector<std::string> files;
    std::string output, out_dir, format;
    unsigned threads = std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    bool force = false, quiet = false, no_progress = false, keep_partial = false, no_tail_check = false;
    uint64_t max_pixels = uint64_t{1} << 28;
    int effort = 6;

    CLI::App *info = app.add_subcommand("info", "Print width, height and depth of PXCM pictures");
    info->add_option("files", files, "PXCM files")->required();

    CLI::App *probe = app.add_subcommand(
        "probe", "Tell for each file whether it is a PXCM picture (exit status 1 if any is not)");
    probe->add_option("files", files, "files to test")->required();

    CLI::App *decode = app.add_subcommand("decode", "Convert PXCM pictures to PNG or BMP");
    decode->add_option("files", files, "PXCM files")->required();
    CLI::Option *decode_o = decode->add_option("-o,--output", output, "output file (one input only)");
    decode->add_option("--out-dir", out_dir, "directory for the outputs (input name, new extension)")
        ->excludes(decode_o);
    decode->add_option("--format", format, "output format when not given by -o's extension")
        ->check(CLI::IsMember({"png", "bmp"}));
    decode->add_option("-j,--jobs", threads, "worker threads")->capture_default_str()->check(CLI::Range(1u, 1024u));
    decode->add_flag("-f,--force", force, "replace existing outputs");
    decode->add_option("--max-pixels", max_pixels, "refuse pictures with more pixels")->capture_default_str();
    decode->add_flag("--keep-partial", keep_partial, "write the rows before the cut of a file that is cut short");
    decode->add_flag("--no-tail-check", no_tail_check,
                     "skip the second decode that finds files whose data ends early");
    decode->add_flag("-q,--quiet", quiet, "no summary and no progress bar");
    decode->add_flag("--no-progress", no_progress, "no progress bar");

    CLI::App *encode = app.add_subcommand("encode", "Convert PNG or 24-bit BMP pictures to PXCM");
    encode->add_option("files", files, "PNG or BMP files")->required();
    CLI::Option *encode_o = encode->add_option("-o,--output", output, "output file (one input only)");
    encode->add_option("--out-dir", out_dir, "directory for the outputs (input name, .pxc)")->excludes(encode_o);
    encode->add_option("-j,--jobs", threads, "worker threads")->capture_default_str()->check(CLI::Range(1u, 1024u));
    encode->add_flag("-f,--force", force, "replace existing outputs");
    encode->add_option("--max-pixels", max_pixels, "refuse pictures with more pixels")->capture_default_str();
    encode->add_option("-e,--effort", effort, "effort from 1 (fast) to 9 (smallest)")
        ->capture_default_str()
        ->check(CLI::Range(1, 9));
    for (int level = 1; level <= 9; level++) {
        encode->add_flag_callback("-" + std::to_string(level), [&effort, level]() { effort = level; },
                                  "effort " + std::to_string(level));
    }
    encode->add_flag("-q,--quiet", quiet, "no summary and no progress bar");
    encode->add_flag("--no-progress", no_progress, "no progress bar");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : EXIT_USAGE;
    }

    if (info->parsed()) return RunInfo(files);
    if (probe->parsed()) return RunProbe(files);

    if (!output.empty() && files.size() > 1) {
        fprintf(stderr, "pxc: -o names one output; use --out-dir for several inputs\n");
        return EXIT_USAGE;
    }
    if (!out_dir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(out_dir, error);
        if (error) {
            fprintf(stderr, "pxc: cannot create %s: %s\n", out_dir.c_str(), error.message().c_str());
            return EXIT_FAILED;
        }
    }
    BatchOptions batch;
    batch.threads = threads;
    batch.quiet = quiet;
    batch.progress = ShowProgress(quiet, no_progress);

    if (decode->parsed()) {
        if (format.empty()) format = Extension(output) == ".bmp" ? "bmp" : "png";
        const bool png = format == "png";
        OutputPlan plan = PlanOutputs(files, output, out_dir, png ? ".png" : ".bmp");
        DecodeOptions options;
        options.max_pixels = max_pixels;
        options.keep_partial = keep_partial;
        options.tail_check = !no_tail_check;
        batch.verb = "decoded";
        BatchTotals totals = RunBatch(files, batch, [&](size_t i, const auto &rows) {
            if (auto clash = plan.clashes.find(i); clash != plan.clashes.end()) throw FileError(clash->second);
            const std::string &target = plan.outputs[i];
            CheckOutputFree(target, force); // before the work, not only after it
            DecodedPicture picture = DecodeFile(files[i], options, rows);
            OutputFile out(target, force);
            if (png) {
                WritePng(picture.bitmap, out, rows);
            } else {
                WriteBmp(picture.bitmap, out);
            }
            out.Commit();
            JobResult result;
            result.pixels = static_cast<uint64_t>(picture.bitmap.width()) * picture.bitmap.height();
            result.warnings = std::move(picture.warnings);
            return result;
        });
        return totals.failed == 0 ? 0 : EXIT_FAILED;
    }

    // encode
    OutputPlan plan = PlanOutputs(files, output, out_dir, ".pxc");
    EncodeSettings settings;
    settings.effort = effort;
    settings.max_pixels = max_pixels;
    settings.force = force;
    batch.verb = "encoded";
    BatchTotals totals = RunBatch(files, batch, [&](size_t i, const auto &rows) {
        if (auto clash = plan.clashes.find(i); clash != plan.clashes.end()) throw FileError(clash->second);
        return EncodeOne(files[i], plan.outputs[i], settings, rows);
    });
    return totals.failed == 0 ? 0 : EXIT_FAILED;
}
