// tavrik-convert: raw files to indexed mzML, MGF or Parquet tables, from the command line.
#include <atomic>
#include <charconv>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_line.hpp"
#include "export/encoding/json_text.hpp"
#include "export/encoding/sha1.hpp"
#include "export/formats/metadata.hpp"
#include "export/formats/version.hpp"
#include "export/output/commit_unit.hpp"
#include "export/output/output_file.hpp"
#include "export/output/paths.hpp"
#include "export/pipeline/export.hpp"
#include "export/pipeline/input.hpp"
#include "export/pipeline/task_pool.hpp"
#include "os_text.hpp"
#include "platform.hpp"
#include "progress.hpp"
#include "reader/reader.hpp"

namespace convert {
namespace {

struct Job {
    std::string input;
    std::string output;
    std::string metadata;  // NAME.metadata.json beside the output, with --metadata
    std::optional<std::string> clash;  // another input that would write the same output
};

std::vector<Job> plan(const CommandLine& line) {
    const exporter::Format format = line.conversion.format;
    const std::string extension = format == exporter::Format::Mzml  ? std::string(".mzML") + (line.gzip ? ".gz" : "")
                                  : format == exporter::Format::Mgf ? std::string(".mgf") + (line.gzip ? ".gz" : "")
                                                                         : std::string(exporter::spectra_table_suffix);
    std::string directory = line.output_directory;
    if (directory.size() > 1 && platform::path_separators.find(directory.back()) != std::string::npos)
        directory.pop_back();
    // Output paths are written as the directory was: C:\Data\mzML\run07.mzML, /data/mzML/run07.mzML.
    const std::size_t last = directory.find_last_of(platform::path_separators);
    const std::string separator(1, last == std::string::npos ? platform::path_separators.back() : directory[last]);
    std::vector<Job> jobs;
    std::map<std::string, std::size_t> first_with_output;
    for (const std::string& input : line.inputs) {
        const auto stem = reader::split_file_name(input).stem;
        Job job{input, directory + separator + stem.value_or("unknown") + extension,
                directory + separator + stem.value_or("unknown") + ".metadata.json", std::nullopt};
        const auto [at, fresh] = first_with_output.try_emplace(job.output, jobs.size());
        if (!fresh) {
            job.clash = jobs[at->second].input;
            if (!jobs[at->second].clash) jobs[at->second].clash = input;
        }
        jobs.push_back(std::move(job));
    }
    return jobs;
}

bool exists(const std::string& path) { return platform::exists(path); }

// The options that shaped an output, as the metadata names them.
std::vector<std::pair<std::string, std::string>> option_facts(const CommandLine& line) {
    auto flag = [](bool on) { return std::string(on ? "true" : "false"); };
    const exporter::ExportOptions& options = line.conversion;
    const exporter::mzml::ArrayEncoding& arrays = options.mzml.arrays;
    const exporter::Processing& processing = options.processing;
    const exporter::Selection& selection = options.selection;
    return {{"format", options.format == exporter::Format::Mzml ? "\"mzML\"" : "\"mgf\""},
            {"zlib", flag(arrays.zlib)},
            {"numpress", flag(arrays.numpress)},
            {"strip_zeros", flag(arrays.strip_zeros)},
            {"centroid", flag(processing.centroid)},
            {"centroid_min_intensity", processing.centroid ? exporter::json_number(processing.centroid_min_intensity) : "null"},
            {"gzip", flag(line.gzip)},
            {"srm_as_spectra", flag(options.mzml.srm_as_spectra)},
            {"ms_level", exporter::json_window(exporter::Window{static_cast<double>(selection.levels.lowest),
                                                      selection.levels.highest == UINT32_MAX
                                                          ? std::numeric_limits<double>::infinity()
                                                          : static_cast<double>(selection.levels.highest)})},
            {"rt", exporter::json_window(selection.retention_time)},
            {"mz", exporter::json_window(selection.mz)}};
}

// Says why committing `outputs` failed (nothing changed then), or what went wrong after every
// file was in place; false when it failed.
bool report_commit(const Job& job, const exporter::CommitOutcome& outcome,
                   std::span<exporter::OutputFile* const> outputs, Console& console) {
    for (const std::string& warning : outcome.warnings) console.message(job.input + ": warning: " + warning);
    if (outcome.error == 0) return true;
    const std::string& path = outputs[outcome.failed]->final_path();
    if (outcome.error == EEXIST) console.message(job.input + ": " + path + " exists (use --overwrite to replace it)");
    else if (outcome.error == EINTR) console.message(job.input + ": interrupted");
    else console.message(job.input + ": cannot write " + path + ": " + os_text::error_text(outcome.error));
    return false;
}

// Writes the two Parquet tables of one opened input, committed together; false, with the reason
// printed, when it failed.
bool write_tables(const Job& job, const CommandLine& line, reader::Reader opened, const exporter::SourceFile& source,
                  const exporter::RunContext& context, Console& console) {
    auto fail = [&](const std::string& why) {
        console.message(job.input + ": " + why);
        return false;
    };
    const std::string points_path = exporter::points_table_path(job.output);
    auto spectra = exporter::OutputFile::create(job.output);
    if (!spectra) return fail("cannot write " + job.output + ": " + os_text::error_text(spectra.error()));
    auto points = exporter::OutputFile::create(points_path);
    if (!points) return fail("cannot write " + points_path + ": " + os_text::error_text(points.error()));
    auto result = exporter::export_columnar(std::move(opened), source, line.conversion, context, *spectra, *points);
    if (!result) return fail(result.error());
    exporter::OutputFile* const unit[] = {&*spectra, &*points};
    if (!report_commit(job, exporter::commit_unit(unit, line.overwrite), unit, console)) return false;
    for (const std::string& warning : result->warnings) console.message(job.input + ": warning: " + warning);
    return true;
}

// Converts one input; false, with the reason printed, when it failed.
bool convert_one(const Job& job, const CommandLine& line, exporter::TaskPool* pool, Console& console) {
    auto fail = [&](const std::string& why) {
        console.message(job.input + ": " + why);
        return false;
    };
    if (job.clash) return fail(job.output + " would also be written from " + *job.clash);
    const bool to_standard_output = line.output_directory == "-";
    const bool tables = line.conversion.format == exporter::Format::Parquet;
    const std::string exists_text = job.output + " exists (use --overwrite to replace it)";
    if (!to_standard_output && !line.overwrite && exists(job.output)) return fail(exists_text);
    if (tables && !line.overwrite && exists(exporter::points_table_path(job.output)))
        return fail(exporter::points_table_path(job.output) + " exists (use --overwrite to replace it)");
    if (line.metadata && !line.overwrite && exists(job.metadata))
        return fail(job.metadata + " exists (use --overwrite to replace it)");
    // The formats that record the input's SHA-1, and the metadata.
    const bool needs_digest = line.conversion.format != exporter::Format::Mgf || line.metadata;
    exporter::InputFile input;
    auto opened = input.open(job.input, needs_digest, pool);
    if (!opened) return fail(opened.error());
    exporter::ConversionFacts facts;
    facts.layout = reader::layout_name(opened->variant());
    facts.acquired_at = opened->acquired_at();
    facts.mz_are_channel_indices = opened->mz_are_channel_indices();
    const exporter::SourceFile source = input.source();
    const exporter::RunContext context{pool, &console.spectra_done, &console.input_bytes_done};
    if (tables) return write_tables(job, line, std::move(*opened), source, context, console);
    auto out = to_standard_output ? exporter::OutputFile::standard_output() : exporter::OutputFile::create(job.output);
    if (!out) return fail("cannot write " + job.output + ": " + os_text::error_text(out.error()));
    if (line.gzip) out->compress_as_gzip();
    if (line.metadata) out->hash_contents();
    auto result = exporter::export_spectra(std::move(*opened), source, line.conversion, context, *out);
    if (!result) return fail(result.error());
    std::optional<exporter::OutputFile> metadata;
    if (line.metadata) {
        // The facts of the conversion beside its output, committed with it.
        const exporter::FileDigest& digest = input.digest();
        if (digest.os_error != 0) return fail("cannot read " + job.input + ": " + os_text::error_text(digest.os_error));
        facts.raw_file = {exporter::file_name_of(job.input), input.size(), digest.hex};
        facts.options = option_facts(line);
        std::optional<std::string> written = out->contents_sha1();
        if (!written) written = result->document_sha1;
        if (!written) return fail("internal error: no SHA-1 of " + job.output);
        facts.output = {exporter::file_name_of(job.output), out->file_size(), std::move(*written)};
        auto created = exporter::OutputFile::create(job.metadata);
        if (!created) return fail("cannot write " + job.metadata + ": " + os_text::error_text(created.error()));
        metadata.emplace(std::move(*created));
        metadata->write(exporter::metadata_json(facts, *result));
    }
    std::vector<exporter::OutputFile*> unit{&*out};
    if (metadata) unit.push_back(&*metadata);
    if (!report_commit(job, exporter::commit_unit(unit, line.overwrite), unit, console)) return false;
    for (const std::string& warning : result->warnings) console.message(job.input + ": warning: " + warning);
    return true;
}

// Prints the outputs each input would be converted to, one JSON line an input.
int list_outputs(const CommandLine& line) {
    const bool to_standard_output = line.output_directory == "-";
    for (const Job& job : plan(line)) {
        std::string text = "{\"input\": " + exporter::json_string(job.input) + ", \"outputs\": [";
        if (!to_standard_output) {
            text += exporter::json_string(job.output);
            if (line.conversion.format == exporter::Format::Parquet)
                text += ", " + exporter::json_string(exporter::points_table_path(job.output));
            if (line.metadata) text += ", " + exporter::json_string(job.metadata);
        }
        text += "]}\n";
        std::fwrite(text.data(), 1, text.size(), stdout);
    }
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

// Descriptors one conversion may hold at once: the input twice (decoded, and hashed), up to two
// temporary files and the directory while they are committed, with room to spare.
constexpr std::size_t descriptors_per_conversion = 8;
// Descriptors the process holds besides: the standard streams and the C library's own.
constexpr std::size_t descriptors_besides = 16;

int run(const CommandLine& line) {
    if (const int error = line.output_directory == "-" ? 0 : platform::make_directories(line.output_directory);
        error != 0) {
        std::fprintf(stderr, "tavrik-convert: cannot create %s: %s\n", line.output_directory.c_str(),
                     os_text::error_text(error).c_str());
        return 1;
    }
    exporter::remove_temporary_files_on_signals();
    const std::vector<Job> jobs = plan(line);
    std::size_t threads = line.jobs != 0 ? line.jobs : std::max(1u, std::thread::hardware_concurrency());
    Console console(!line.quiet, jobs.size());
    // Files converted at once, as many as the threads, unless the limit of open files is lower.
    std::size_t at_once = std::min(threads, jobs.size());
    const std::size_t wanted = descriptors_besides + descriptors_per_conversion * at_once;
    if (const std::size_t limit = platform::raise_open_file_limit(wanted); limit < wanted) {
        const std::size_t allowed =
            std::max<std::size_t>(1, limit > descriptors_besides ? (limit - descriptors_besides) / descriptors_per_conversion : 1);
        console.message("note: converting " + std::to_string(allowed) + " files at once, not " + std::to_string(at_once) +
                     ": the process may hold " + std::to_string(limit) + " open files (ulimit -n)");
        at_once = allowed;
    }
    // With one thread everything runs on this one; with more, their encoders share one pool.
    std::unique_ptr<exporter::TaskPool> pool;
    if (threads > 1) pool = std::make_unique<exporter::TaskPool>(threads);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> any_failed{false};
    auto drive = [&] {
        for (std::size_t i = next++; i < jobs.size(); i = next++) {
            bool ok = false;
            try {
                ok = convert_one(jobs[i], line, pool.get(), console);
            } catch (const std::bad_alloc&) {
                console.message(jobs[i].input + ": out of memory");
            } catch (const std::exception& e) {
                console.message(jobs[i].input + ": internal error: " + e.what());
            }
            if (!ok) any_failed = true;
            ++console.files_done;
        }
    };
    std::vector<std::thread> drivers;
    for (std::size_t k = 1; k < at_once; ++k) drivers.emplace_back(drive);
    drive();
    for (std::thread& t : drivers) t.join();
    return any_failed ? 1 : 0;
}

}  // namespace
}  // namespace convert

int main(int argc, char** argv) {
    platform::prepare_standard_streams();
    const std::vector<std::string> arguments = platform::program_arguments(argc, argv);
    const auto line = convert::parse_command_line(arguments);
    if (!line) {
        std::fprintf(stderr, "tavrik-convert: %s\nTry 'tavrik-convert --help' for more information.\n",
                     line.error().c_str());
        return 2;
    }
    if (line->help) {
        std::fputs(convert::usage_text, stdout);
        return 0;
    }
    if (line->list_outputs) return convert::list_outputs(*line);
    if (line->version) {
        std::printf("tavrik-convert %s\n", exporter::software_version().data());
        return 0;
    }
    return convert::run(*line);
}
