#include "commands.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "batch.h"
#include "common.h"
#include "decode.h"
#include "encode.h"
#include "format/format.h"
#include "images.h"
#include "scan.h"

namespace pxc {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

void PrintError(const std::string &name, const std::string &reason) {
    WriteText(STANDARD_ERROR, "pxc: " + name + ": " + reason + "\n");
}

void UsageError(const std::string &text) { WriteText(STANDARD_ERROR, "pxc: " + text + "\n"); }

// The name of an input in messages: "-" is standard input, and a picture at
// an offset carries it.
std::string Label(const std::string &path, uint64_t offset) {
    std::string name = path == "-" ? std::string("(standard input)") : path;
    if (offset != 0) name += " at " + std::to_string(offset);
    return name;
}

// Ends a command whose answers went to standard output: a failed write
// there (a full disk, a closed pipe) is a failure too.
int Finish(int status, int failure = EXIT_FAILED) {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "pxc: cannot write standard output: %s\n", LastErrorText().c_str());
        return status == 0 ? failure : status;
    }
    return status;
}

int StoppedStatus() {
    fprintf(stderr, "pxc: interrupted; no partial output was left\n");
    fflush(stdout);
    return StopExitStatus();
}

// Prints results in input order as they come in from worker threads.
class OrderedPrinter {
public:
    explicit OrderedPrinter(size_t count) : lines_(count) {}
    void Put(size_t index, std::string text) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_[index] = std::move(text);
        while (next_ < lines_.size() && lines_[next_].has_value()) {
            WriteText(STANDARD_OUTPUT, *lines_[next_]);
            lines_[next_].reset();
            next_++;
        }
        fflush(stdout);
    }

private:
    std::mutex mutex_;
    std::vector<std::optional<std::string>> lines_;
    size_t next_ = 0;
};

BatchOptions BatchFor(const Settings &s, const char *verb) {
    BatchOptions b;
    b.threads = s.threads;
    b.quiet = s.quiet;
    b.verbose = s.verbose;
    b.progress = !s.quiet && !s.no_progress && IsTerminal(STANDARD_ERROR);
    b.verb = verb;
    return b;
}

std::vector<std::string> Paths(const std::vector<InputFile> &inputs) {
    std::vector<std::string> out;
    for (const InputFile &in : inputs) out.push_back(in.path);
    return out;
}

// Inputs or a usage error (reported; empty result).
bool GatherInputs(const Settings &s, Wanted wanted, std::vector<InputFile> *inputs) {
    std::vector<std::string> errors;
    *inputs = ExpandInputs(s.files, s.recursive, wanted, &errors);
    for (const std::string &e : errors) UsageError(e);
    if (!errors.empty()) return false;
    if (inputs->empty()) {
        UsageError("no input files (folders hold none that fit)");
        return false;
    }
    return true;
}

bool StartsWithHeader(const std::string &path) {
    try {
        MappedFile f(path);
        uint8_t head[HEADER_SIZE];
        const size_t got = f.Read(0, head, sizeof head);
        pxcm_info info{};
        return pxcm_read_info(head, got, &info) == PXCM_OK;
    } catch (const FileError &) {
        return false;
    }
}

bool Wants(Wanted wanted, const std::string &path) {
    switch (wanted) {
    case Wanted::PXCM_PICTURES: return StartsWithHeader(path);
    case Wanted::PNG_OR_BMP: {
        const std::string ext = Extension(path);
        return ext == ".png" || ext == ".bmp";
    }
    case Wanted::ANY: return true;
    }
    return false;
}

// The output format from --format and -o's extension; "" after a usage
// error (reported).
std::string OutputFormat(const Settings &s) {
    std::string from_name;
    if (!s.output.empty() && s.output != "-") {
        const std::string ext = Extension(s.output);
        if (ext == ".png" || ext == ".bmp") {
            from_name = ext.substr(1);
        } else if (!ext.empty()) {
            UsageError("cannot write " + s.output + ": '" + ext + "' is not an output format (png or bmp)");
            return "";
        }
    }
    if (!s.format.empty() && !from_name.empty() && s.format != from_name) {
        UsageError("--format " + s.format + " but -o " + s.output + " names a " + from_name + " file");
        return "";
    }
    if (!s.format.empty()) return s.format;
    return from_name.empty() ? "png" : from_name;
}

std::string NamePattern(const Settings &s, const std::string &fallback) {
    if (!s.name_template.empty()) return s.name_template;
    if (!s.suffix.empty()) return "{stem}" + s.suffix + ".{ext}";
    return fallback;
}

struct OutputPlan {
    std::vector<std::string> outputs;
    std::map<size_t, std::string> clashes; // input index -> reason
};

// Output names for every input: -o for a single input, standard output for
// standard input, else the name template in --out-dir (keeping the walked
// folders' tree) or beside the input. Two inputs that would write the same
// file: the later one fails.
OutputPlan PlanOutputs(const std::vector<InputFile> &inputs, const Settings &s, const std::string &pattern,
                       const std::string &ext) {
    OutputPlan plan;
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < inputs.size(); i++) {
        std::string out;
        if (!s.output.empty()) {
            out = s.output;
        } else if (inputs[i].path == "-") {
            out = "-";
        } else {
            const std::string name = ExpandName(pattern, inputs[i].path, ext, s.offset);
            fs::path folder = s.out_dir.empty() ? PathOf(inputs[i].path).parent_path()
                                                : PathOf(s.out_dir) / PathOf(inputs[i].subfolder);
            out = TextOf((folder / PathOf(name)).lexically_normal());
        }
        if (out != "-") {
            auto [it, fresh] = seen.emplace(out, i);
            if (!fresh) plan.clashes[i] = "output " + out + " is also the output of " + inputs[it->second].path;
        }
        plan.outputs.push_back(out);
    }
    return plan;
}

// Checks shared by decode, encode and extract; false after a usage error.
bool CheckOutputs(const Settings &s, const std::vector<InputFile> &inputs) {
    if (!s.output.empty() && inputs.size() > 1) {
        UsageError("-o names one output; use --out-dir for several inputs");
        return false;
    }
    if (!s.name_template.empty() && !s.suffix.empty()) {
        UsageError("--name and --suffix both name the outputs; give one");
        return false;
    }
    if (!s.name_template.empty()) {
        try {
            CheckNamePattern(s.name_template);
        } catch (const std::invalid_argument &e) {
            UsageError(e.what());
            return false;
        }
    }
    if (!s.suffix.empty() && s.suffix.find('/') != std::string::npos) {
        UsageError("--suffix cannot hold a '/'");
        return false;
    }
    const bool to_stdout = s.output == "-" || (s.output.empty() && inputs.size() == 1 && inputs[0].path == "-");
    if (to_stdout && IsTerminal(STANDARD_OUTPUT)) {
        UsageError("standard output is a terminal: redirect it, or name an output with -o");
        return false;
    }
    for (const InputFile &in : inputs)
        if (in.path == "-" && s.output.empty() && (inputs.size() > 1 || !s.out_dir.empty())) {
            UsageError("standard input has no name to make an output name of: give it -o");
            return false;
        }
    return true;
}

// The exit status of a batch.
int BatchStatus(const BatchTotals &totals) {
    if (totals.stopped) return StoppedStatus();
    return totals.failed == 0 ? 0 : EXIT_FAILED;
}

std::string StreamText(const StreamFacts &f) {
    std::string text;
    if (f.ends_early()) {
        text = "ends early, in row " + std::to_string(f.end_row + 1) + " of " + std::to_string(f.info.height);
    } else {
        text = "complete (" + std::to_string(f.stream_bytes) + " bytes)";
    }
    if (f.trailing_bytes > 0)
        text += ", " + std::to_string(f.trailing_bytes) + " trailing byte" + (f.trailing_bytes == 1 ? "" : "s") +
                " after its stream";
    return text;
}

json FactsJson(const StreamFacts &f) {
    json j;
    j["stream"] = f.ends_early() ? "ends_early" : "complete";
    j["end_row"] = f.ends_early() ? json(f.end_row) : json(nullptr);
    j["stream_bytes"] = f.stream_bytes;
    j["trailing_bytes"] = f.trailing_bytes;
    j["bits_used"] = f.bits_used;
    j["bits_past_end"] = f.bits_past_end;
    return j;
}

void PrintJson(const json &document) {
    const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace);
    WriteText(STANDARD_OUTPUT, text + "\n");
}

} // namespace

// ---------------------------------------------------------------- inputs

std::vector<InputFile> ExpandInputs(const std::vector<std::string> &names, bool recursive, Wanted wanted,
                                    std::vector<std::string> *errors) {
    std::vector<InputFile> out;
    std::vector<std::string> expanded;
    for (const std::string &name : names) {
        const std::vector<std::string> matches = name == "-" ? std::vector<std::string>{name} : ExpandWildcards(name);
        expanded.insert(expanded.end(), matches.begin(), matches.end());
    }
    for (const std::string &name : expanded) {
        if (name == "-" || KindOf(name) != NodeKind::DIRECTORY) {
            out.push_back({name, ""});
            continue;
        }
        if (!recursive) {
            errors->push_back(name + " is a folder (use -r to take the files in it)");
            continue;
        }
        std::vector<InputFile> found;
        std::error_code error;
        const fs::path top = PathOf(name);
        fs::recursive_directory_iterator it(top, fs::directory_options::skip_permission_denied, error);
        for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (!it->is_regular_file(error)) continue;
            const std::string path = TextOf(it->path());
            if (!Wants(wanted, path)) continue;
            found.push_back({path, TextOf(it->path().parent_path().lexically_relative(top).lexically_normal())});
        }
        if (error) errors->push_back("cannot walk " + name + ": " + error.message());
        for (InputFile &f : found)
            if (f.subfolder == ".") f.subfolder.clear();
        std::sort(found.begin(), found.end(), [](const InputFile &a, const InputFile &b) { return a.path < b.path; });
        out.insert(out.end(), found.begin(), found.end());
    }
    return out;
}

std::string ClosestCommand(const std::string &word, const std::vector<std::string> &commands) {
    std::string best;
    size_t best_distance = 3; // at most two edits away
    for (const std::string &c : commands) {
        if (word.size() >= 2 && c.compare(0, word.size(), word) == 0) return c;
        // Levenshtein distance.
        std::vector<size_t> row(c.size() + 1);
        for (size_t j = 0; j <= c.size(); j++) row[j] = j;
        for (size_t i = 1; i <= word.size(); i++) {
            size_t diagonal = row[0];
            row[0] = i;
            for (size_t j = 1; j <= c.size(); j++) {
                const size_t up = row[j];
                row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (word[i - 1] == c[j - 1] ? 0 : 1)});
                diagonal = up;
            }
        }
        if (row[c.size()] < best_distance) {
            best_distance = row[c.size()];
            best = c;
        }
    }
    return best;
}

// ---------------------------------------------------------------- info

int RunInfo(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::PXCM_PICTURES, &inputs)) return EXIT_USAGE;
    std::vector<json> entries(inputs.size());
    OrderedPrinter printer(inputs.size());
    std::atomic<bool> failed{false};
    BatchOptions batch = BatchFor(s, "examined");
    batch.summary = false;
    DecodeOptions limits;
    limits.max_pixels = s.max_pixels;
    const BatchTotals totals = RunBatch(Paths(inputs), batch, [&](size_t i, const RowProgress &rows) {
        try {
            const std::string &path = inputs[i].path;
            json j;
            j["file"] = path;
            j["offset"] = s.offset;
            std::string line = Label(path, s.offset) + ": ";
            auto fail = [&](const std::string &reason) {
                j["error"] = reason;
                entries[i] = j;
                printer.Put(i, "");
                failed = true;
                throw FileError(reason);
            };
            std::optional<PictureInput> in;
            try {
                in.emplace(path, s.offset, !s.fast);
            } catch (const FileError &e) {
                fail(e.what());
            }
            pxcm_info info{};
            const int r = pxcm_read_info(in->data(), static_cast<size_t>(in->size()), &info);
            if (r != PXCM_OK) fail(FileResultMessage(r, in->data(), static_cast<size_t>(in->size())));
            j["width"] = info.width;
            j["height"] = info.height;
            j["depth"] = info.depth;
            line += std::to_string(info.width) + " x " + std::to_string(info.height) + ", " +
                    std::to_string(info.depth) + " bits per pixel";
            if (!s.fast) {
                const uint64_t pixels = static_cast<uint64_t>(info.width) * info.height;
                if (pixels == 0 || pixels > s.max_pixels) {
                    j["stream"] = "unchecked";
                    line += pixels == 0 ? ", no pixels" : ", stream not checked (more pixels than --max-pixels)";
                } else {
                    try {
                        const DecodedPicture d = DecodePicture(*in, limits, rows);
                        j.update(FactsJson(d.facts));
                        line += ", stream " + StreamText(d.facts);
                    } catch (const FileError &e) {
                        if (StopRequested()) throw;
                        j["stream"] = "damaged";
                        j["error"] = e.what();
                        line += ", " + std::string(e.what());
                        failed = true;
                    }
                }
            }
            entries[i] = j;
            printer.Put(i, s.json ? "" : line + "\n");
            return JobResult{};
        } catch (const std::bad_alloc &) {
            // Its line stays empty, so that the lines after it still come.
            entries[i] = json{{"file", inputs[i].path}, {"offset", s.offset}, {"error", "out of memory"}};
            printer.Put(i, "");
            failed = true;
            throw;
        }
    });
    if (totals.stopped) return StoppedStatus();
    if (s.json) PrintJson(json{{"files", entries}});
    return Finish(failed ? EXIT_FAILED : 0);
}

// ---------------------------------------------------------------- probe

int RunProbe(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::ANY, &inputs)) return EXIT_USAGE;
    bool some_not = false, some_unreadable = false;
    std::vector<json> entries;
    for (const InputFile &input : inputs) {
        if (StopRequested()) return StoppedStatus();
        json j{{"file", input.path}};
        try {
            const PictureInput in(input.path, 0, false);
            pxcm_info info{};
            const bool yes = pxcm_read_info(in.data(), static_cast<size_t>(in.size()), &info) == PXCM_OK;
            j["pxcm"] = yes;
            if (!s.json && !(s.quiet && yes))
                WriteText(STANDARD_OUTPUT,
                          Label(input.path, 0) + ": " + (yes ? "PXCM picture" : "not a PXCM picture") + "\n");
            if (!yes) some_not = true;
        } catch (const FileError &e) {
            if (StopRequested()) return StoppedStatus();
            j["error"] = e.what();
            if (!s.quiet) PrintError(Label(input.path, 0), e.what());
            some_unreadable = true;
        }
        entries.push_back(j);
    }
    if (s.json) PrintJson(json{{"files", entries}});
    return Finish(some_unreadable ? EXIT_PROBE_UNREADABLE : some_not ? 1 : 0, EXIT_PROBE_UNREADABLE);
}

// ---------------------------------------------------------------- verify

int RunVerify(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::PXCM_PICTURES, &inputs)) return EXIT_USAGE;
    std::vector<json> entries(inputs.size());
    std::vector<int> bits(inputs.size(), 0);
    OrderedPrinter printer(inputs.size());
    BatchOptions batch = BatchFor(s, "verified");
    batch.summary = false;
    DecodeOptions limits;
    limits.max_pixels = s.max_pixels;
    const BatchTotals totals = RunBatch(Paths(inputs), batch, [&](size_t i, const RowProgress &rows) {
        const std::string &path = inputs[i].path;
        json j{{"file", path}, {"offset", s.offset}};
        std::string line;
        try {
            const PictureInput in(path, s.offset, true);
            const DecodedPicture d = DecodePicture(in, limits, rows);
            j["width"] = d.facts.info.width;
            j["height"] = d.facts.info.height;
            j.update(FactsJson(d.facts));
            if (d.facts.ends_early()) {
                j["status"] = "ends_early";
                bits[i] = VERIFY_ENDS_EARLY;
                line = "ends early, in row " + std::to_string(d.facts.end_row + 1) + " of " +
                       std::to_string(d.facts.info.height);
            } else if (d.facts.trailing_bytes > 0) {
                j["status"] = "trailing_bytes";
                bits[i] = VERIFY_TRAILING;
                line = "complete, with " + std::to_string(d.facts.trailing_bytes) + " trailing byte" +
                       (d.facts.trailing_bytes == 1 ? "" : "s") + " after its stream of " +
                       std::to_string(d.facts.stream_bytes) + " bytes";
            } else {
                j["status"] = "complete";
                line = "complete (" + std::to_string(d.facts.stream_bytes) + " bytes)";
            }
        } catch (const FileError &e) {
            if (StopRequested()) throw;
            j["status"] = "failed";
            j["error"] = e.what();
            bits[i] = VERIFY_FAILED;
            line = std::string("fails: ") + e.what();
        } catch (const std::bad_alloc &) {
            j["status"] = "failed";
            j["error"] = "out of memory";
            bits[i] = VERIFY_FAILED;
            line = "fails: out of memory";
        }
        entries[i] = j;
        const bool show = !s.json && !(s.quiet && bits[i] == 0);
        printer.Put(i, show ? Label(path, s.offset) + ": " + line + "\n" : "");
        return JobResult{};
    });
    if (totals.stopped) return StoppedStatus();
    int status = 0;
    for (int b : bits) status |= b;
    if (s.json) {
        json summary{{"files", inputs.size()}};
        for (const char *name : {"complete", "ends_early", "trailing_bytes", "failed"}) {
            summary[name] = std::count_if(entries.begin(), entries.end(),
                                          [&](const json &e) { return e.value("status", "") == name; });
        }
        PrintJson(json{{"files", entries}, {"summary", summary}});
    }
    return Finish(status);
}

// ---------------------------------------------------------------- decode

namespace {

// Writes a decoded picture to `target`.
void WritePicture(const Bitmap &bitmap, const std::string &target, bool png, bool force, const RowProgress &rows) {
    OutputFile out(target, force);
    if (png) {
        // Large noise takes a second thread only where no file waits for
        // the other cores.
        WritePng(bitmap, out, rows, !FilesWaiting());
    } else {
        WriteBmp(bitmap, out);
    }
    out.Commit();
}

constexpr uint64_t BMP_HEADERS = 14 + 40;

bool BmpTooLarge(const pxcm_info &info) {
    return BMP_HEADERS + static_cast<uint64_t>(RowStride(info.width)) * info.height > UINT32_MAX;
}

} // namespace

int RunDecode(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::PXCM_PICTURES, &inputs)) return EXIT_USAGE;
    if (!CheckOutputs(s, inputs)) return EXIT_USAGE;
    const std::string format = OutputFormat(s);
    if (format.empty()) return EXIT_USAGE;
    const bool png = format == "png";
    const OutputPlan plan = PlanOutputs(inputs, s, NamePattern(s, "{stem}.{ext}"), format);
    DecodeOptions options;
    options.max_pixels = s.max_pixels;
    options.strict = s.strict;
    const BatchTotals totals = RunBatch(Paths(inputs), BatchFor(s, "decoded"), [&](size_t i, const RowProgress &rows) {
        if (auto clash = plan.clashes.find(i); clash != plan.clashes.end()) throw FileError(clash->second);
        const std::string &target = plan.outputs[i];
        JobResult result;
        if (s.skip_existing && OutputExists(target)) {
            result.skipped = true;
            result.notes.push_back("skipped, " + target + " exists");
            return result;
        }
        CheckOutputFree(target, s.force); // before the work, not only after it
        const PictureInput in(inputs[i].path, s.offset, false);
        pxcm_info header{};
        if (!png && pxcm_read_info(in.data(), static_cast<size_t>(in.size()), &header) == PXCM_OK &&
            BmpTooLarge(header))
            throw FileError("a " + std::to_string(header.width) + " x " + std::to_string(header.height) +
                            " picture is too large for a BMP file (at most 4 GiB); use --format png");
        const pxcm_info info = CheckedInfo(in, options);
        DecodedPicture picture = DecodePicture(in, options, rows);
        WritePicture(picture.bitmap, target, png, s.force, rows);
        result.pixels = static_cast<uint64_t>(info.width) * info.height;
        result.outputs = 1;
        result.warnings = std::move(picture.warnings);
        result.notes.push_back("-> " + target + ", stream " + StreamText(picture.facts));
        return result;
    });
    return BatchStatus(totals);
}

// ---------------------------------------------------------------- encode

int RunEncode(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::PNG_OR_BMP, &inputs)) return EXIT_USAGE;
    if (!CheckOutputs(s, inputs)) return EXIT_USAGE;
    if (!s.output.empty() && s.output != "-") {
        const std::string ext = Extension(s.output);
        if (!ext.empty() && ext != ".pxc") {
            UsageError("cannot write " + s.output + ": encode writes PXCM pictures (.pxc)");
            return EXIT_USAGE;
        }
    }
    const OutputPlan plan = PlanOutputs(inputs, s, NamePattern(s, "{stem}.{ext}"), "pxc");
    EncodeSettings settings;
    settings.effort = s.effort;
    settings.max_pixels = s.max_pixels;
    settings.force = s.force;
    BatchOptions batch = BatchFor(s, "encoded");
    batch.sizes = true;
    const BatchTotals totals = RunBatch(Paths(inputs), batch, [&](size_t i, const RowProgress &rows) {
        if (auto clash = plan.clashes.find(i); clash != plan.clashes.end()) throw FileError(clash->second);
        if (s.skip_existing && OutputExists(plan.outputs[i])) {
            JobResult skipped;
            skipped.skipped = true;
            return skipped;
        }
        return EncodeOne(inputs[i].path, plan.outputs[i], settings, rows);
    });
    return BatchStatus(totals);
}

// ---------------------------------------------------------------- scan, extract

namespace {

json FoundJson(const FoundPicture &f) {
    json j{{"offset", f.offset}, {"length", f.length}, {"width", f.info.width}, {"height", f.info.height},
           {"complete", f.complete}};
    j["end_row"] = f.complete ? json(nullptr) : json(f.end_row);
    j["inside"] = f.inside ? json(f.parent) : json(nullptr);
    return j;
}

std::string FoundText(const std::string &file, const FoundPicture &f) {
    std::string line = file + ": offset " + std::to_string(f.offset) + ", " + std::to_string(f.length) +
                       " bytes, " + std::to_string(f.info.width) + " x " + std::to_string(f.info.height);
    if (!f.complete)
        line += ", ends early (the file ends in row " + std::to_string(f.end_row + 1) + " of " +
                std::to_string(f.info.height) + ")";
    if (f.inside) line += ", inside the picture at " + std::to_string(f.parent);
    return line;
}

} // namespace

int RunScan(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::ANY, &inputs)) return EXIT_USAGE;
    std::vector<json> entries(inputs.size());
    BatchOptions batch = BatchFor(s, "scanned");
    batch.threads = 1; // one archive at a time, its pictures in order
    batch.summary = false;
    ScanOptions options;
    options.max_pixels = s.max_pixels;
    const BatchTotals totals = RunBatch(Paths(inputs), batch, [&](size_t i, const RowProgress &rows) {
        const std::string &path = inputs[i].path;
        json j{{"file", path}};
        json pictures = json::array();
        try {
            const MappedFile file(path);
            j["size"] = file.size();
            const ScanTotals t = ScanFile(file, options, [&](const FoundPicture &f, Bitmap *) {
                pictures.push_back(FoundJson(f));
                if (!s.json) WriteText(STANDARD_OUTPUT, FoundText(path, f) + "\n");
            }, rows);
            j["candidates"] = t.candidates;
            j["rejected"] = t.rejected;
            j["pictures"] = pictures;
            entries[i] = j;
            JobResult result;
            result.notes.push_back(std::to_string(t.pictures) + " pictures; " + std::to_string(t.rejected) + " of " +
                                   std::to_string(t.candidates) + " headers passed over (" +
                                   std::to_string(t.too_large) + " above --max-pixels)");
            return result;
        } catch (const FileError &e) {
            j["error"] = e.what();
            j["pictures"] = pictures;
            entries[i] = j;
            throw;
        }
    });
    if (totals.stopped) return StoppedStatus();
    if (s.json) PrintJson(json{{"files", entries}});
    return Finish(totals.failed == 0 ? 0 : EXIT_FAILED);
}

int RunExtract(const Settings &s) {
    std::vector<InputFile> inputs;
    if (!GatherInputs(s, Wanted::ANY, &inputs)) return EXIT_USAGE;
    if (s.out_dir.empty()) {
        UsageError("extract needs --out-dir");
        return EXIT_USAGE;
    }
    if (!CheckOutputs(s, inputs)) return EXIT_USAGE;
    const std::string format = s.format.empty() ? "png" : s.format;
    const bool png = format == "png";
    const std::string pattern = NamePattern(s, "{name}-{offset}.{ext}");
    BatchOptions batch = BatchFor(s, "extracted");
    batch.threads = 1;
    batch.summary = false;
    ScanOptions options;
    options.max_pixels = s.max_pixels;
    options.keep_pixels = true;
    size_t written = 0, skipped = 0;
    const BatchTotals totals = RunBatch(Paths(inputs), batch, [&](size_t i, const RowProgress &rows) {
        const std::string &path = inputs[i].path;
        const MappedFile file(path);
        JobResult result;
        std::vector<std::string> failures;
        ScanFile(file, options, [&](const FoundPicture &f, Bitmap *pixels) {
            const std::string target =
                TextOf((PathOf(s.out_dir) / PathOf(inputs[i].subfolder) / PathOf(ExpandName(pattern, path, format, f.offset)))
                           .lexically_normal());
            const std::string where = "picture at " + std::to_string(f.offset);
            if (f.inside && !s.all) {
                result.notes.push_back(where + " lies inside the picture at " + std::to_string(f.parent) +
                                       ", not extracted (--all takes it)");
                return;
            }
            if (!f.complete) {
                if (s.strict) {
                    failures.push_back(where + ": the file ends inside its stream (--strict)");
                    return;
                }
                result.warnings.push_back(where + ": the file ends inside its stream, in row " +
                                          std::to_string(f.end_row + 1) + " of " + std::to_string(f.info.height));
            }
            if (s.skip_existing && OutputExists(target)) {
                skipped++;
                result.notes.push_back(where + ": skipped, " + target + " exists");
                return;
            }
            try {
                if (!png && BmpTooLarge(f.info)) throw FileError("too large for a BMP file");
                WritePicture(*pixels, target, png, s.force, nullptr);
            } catch (const FileError &e) {
                if (StopRequested()) throw;
                failures.push_back(where + ": " + e.what());
                return;
            }
            written++;
            result.outputs++;
            result.pixels += static_cast<uint64_t>(f.info.width) * f.info.height;
            result.notes.push_back(where + " -> " + target);
        }, rows);
        if (!failures.empty()) {
            std::string text = failures[0];
            for (size_t k = 1; k < failures.size(); k++) text += "; " + failures[k];
            for (const std::string &w : result.warnings) PrintError(path, "warning: " + w);
            throw FileError(text);
        }
        return result;
    });
    if (totals.stopped) return StoppedStatus();
    if (!s.quiet) {
        fprintf(stderr, "extracted %zu picture%s from %zu file%s, %zu failed", written, written == 1 ? "" : "s",
                totals.done, totals.done == 1 ? "" : "s", totals.failed);
        if (skipped > 0) fprintf(stderr, ", %zu skipped (output exists)", skipped);
        fprintf(stderr, "\n");
    }
    return totals.failed == 0 ? 0 : EXIT_FAILED;
}

} // namespace pxc
